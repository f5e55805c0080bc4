// The Baseline view: the versions the site should run against what its devices report (a row per
// component with its state), setting the baseline from what the site runs now, the earlier
// baselines with Reinstate (asked first), the report as CSV, and a rollout that converges every
// drifted component back to its baseline version. The report is read when the tab is shown and
// after each drift event while it is shown (a hidden tab reads it when it is shown again).

import { needsRole } from './roles.js';
import { api, kBaselineCsvPath } from './api.js';
import { $, el, setText, setData, clear, formatTime, refusalText } from './dom.js';
import { rolloutPolicy, showCreatedRollout, suggestedRolloutId } from './rollouts.js';
import { scheduleDraw } from './schedule.js';

// Earlier baselines per page.
const kListPageSize = 20;

let confirmAction = null;
let showRollouts = null;
let report = null;        // the last report read; null without a baseline
let current = null;       // the current baseline document; null without one
let reading = false;      // a read of the report is under way
let readAgain = false;    // something changed while it was: read once more after it
let listBefore = 0;       // cursor of the next page of earlier baselines; 0: none

function shown() {
  return !$('panel-baseline').hidden;
}

function summaryText(summary, checkedAt) {
  return `${summary.match} match · ${summary.drift} drift · ${summary.missing} missing · ` +
    `${summary.unexpected} unexpected · checked ${formatTime(checkedAt)}`;
}

function reportRow(row) {
  const badge = el('span', { class: 'badge', text: row.state });
  setData(badge, 'baseline', row.state);
  const stateCell = el('td', {}, badge);
  if (row.upgrading) {
    stateCell.append(' ', el('span', { class: 'badge upgrading', text: 'upgrading' }));
  }
  return el('tr', { dataset: { nodeId: row.nodeId, typeId: row.componentTypeId, index: String(row.componentIndex),
    state: row.state, upgrading: String(row.upgrading) } },
  el('td', {}, el('div', { class: 'name', text: row.nodeName || row.nodeId }),
    el('div', { class: 'summary', text: `${row.nodeId} · ${row.deviceType}` })),
  el('td', { text: `${row.componentTypeId} #${row.componentIndex}` }),
  el('td', { class: 'mono', text: row.expected ?? '—' }),
  el('td', { class: 'mono', text: row.reported ?? '—' }),
  el('td', { text: formatTime(row.reportedAt) }),
  stateCell);
}

function drawReport() {
  const present = report !== null;
  $('baseline-none').hidden = present;
  $('baseline-present').hidden = !present;
  $('baseline-head').hidden = !present;
  if (!present) {
    return;
  }
  const title = current && current.baselineNo === report.baselineNo
    ? `Baseline ${report.baselineNo}, taken ${formatTime(current.createdAt)}${current.note ? ` · ${current.note}` : ''}`
    : `Baseline ${report.baselineNo}`;
  setText($('baseline-title'), title);
  setText($('baseline-summary'), summaryText(report.summary, report.checkedAt));
  const filter = $('baseline-filter').value;
  const rows = report.components.filter((row) => filter === '' || row.state === filter);
  const body = $('baseline-rows');
  clear(body);
  body.append(...rows.map(reportRow));
  setText($('baseline-shown'), filter === '' ? '' : `${rows.length} of ${report.components.length} shown`);
}

async function readReport() {
  if (reading) {
    readAgain = true;
    return;
  }
  reading = true;
  try {
    do {
      readAgain = false;
      const answer = await api.baselineReport();
      if (answer.ok) {
        report = answer.data;
        setText($('baseline-report-error'), '');
        if (!current || current.baselineNo !== report.baselineNo) {
          await readCurrent();
        }
      } else if (answer.status === 404) {
        report = null;
        current = null;
      } else {
        setText($('baseline-report-error'), refusalText(answer.error));
      }
      scheduleDraw('baseline', drawReport);
    } while (readAgain);
  } finally {
    reading = false;
  }
}

async function readCurrent() {
  const answer = await api.baseline();
  if (answer.ok) {
    current = answer.data.baseline;
  }
}

function listRow(entry) {
  const button = el('button', { type: 'button', class: 'plain reinstate', text: 'Reinstate',
    'aria-label': `Reinstate baseline ${entry.baselineNo}`, onclick: () => reinstate(entry),
    dataset: needsRole('admin', 'change the baseline') });
  if (current && current.baselineNo === entry.baselineNo) {
    button.disabled = true;
    button.title = 'This is the current baseline';
  }
  return el('tr', { dataset: { baselineNo: String(entry.baselineNo) } },
    el('td', { class: 'num', text: String(entry.baselineNo) }),
    el('td', { text: formatTime(entry.createdAt) }),
    el('td', { text: entry.note || '' }),
    el('td', { class: 'num', text: String(entry.componentCount) }),
    el('td', {}, button));
}

async function readList(more = false) {
  const answer = await api.baselineList(kListPageSize, more ? listBefore : 0);
  if (!answer.ok) {
    setText($('baseline-list-error'), refusalText(answer.error));
    return;
  }
  setText($('baseline-list-error'), '');
  if (!more) {
    clear($('baseline-list-rows'));
  }
  $('baseline-list-rows').append(...answer.data.baselines.map(listRow));
  listBefore = answer.data.nextBefore || 0;
  $('baseline-list-more').hidden = listBefore === 0;
}

// Everything the tab shows, read again: after it is shown, and after this console changed the baseline.
async function readAll() {
  await readCurrent();
  await Promise.all([readReport(), readList()]);
}

async function setFromSite() {
  setText($('baseline-error'), '');
  setText($('baseline-result'), '');
  const request = { from: 'site' };
  if ($('baseline-allow-missing').checked) {
    request.allowMissing = true;
  }
  const note = $('baseline-note').value.trim();
  if (note !== '') {
    request.note = note;
  }
  const button = $('baseline-set');
  button.disabled = true;
  const answer = await api.setBaseline(request);
  button.disabled = false;
  if (!answer.ok) {
    setText($('baseline-error'), refusalText(answer.error));
    return;
  }
  $('baseline-note').value = '';
  setText($('baseline-result'), createdText(answer.data));
  await readAll();
}

function createdText(document) {
  const missing = Array.isArray(document.missing) ? document.missing : [];
  return `Baseline ${document.baselineNo} taken with ${document.components.length} component` +
    `${document.components.length === 1 ? '' : 's'}` +
    (missing.length ? `; without a reported status, left out: ${missing.join(', ')}` : '');
}

async function reinstate(entry) {
  setText($('baseline-list-error'), '');
  const asked = await confirmAction(`Reinstate baseline ${entry.baselineNo} (taken ${formatTime(entry.createdAt)}, ` +
    `${entry.componentCount} components)? Its versions become the current baseline under a new number, and ` +
    'the report compares the site against them.');
  if (!asked) {
    return;
  }
  const answer = await api.setBaseline({ baselineNo: entry.baselineNo });
  if (!answer.ok) {
    setText($('baseline-list-error'), refusalText(answer.error));
    return;
  }
  setText($('baseline-result'), createdText(answer.data));
  await readAll();
}

async function converge() {
  setText($('converge-error'), '');
  const button = $('converge');
  button.disabled = true;
  const answer = await api.converge({ rolloutId: $('converge-id').value.trim(), policy: rolloutPolicy() });
  button.disabled = false;
  if (!answer.ok) {
    setText($('converge-error'), refusalText(answer.error));
    return;
  }
  $('converge-id').value = suggestedRolloutId('converge');
  showCreatedRollout(answer.data);
  showRollouts();
}

export function onBaselineDrift() {
  if (shown()) {
    // However many events come between two frames, the report is read once.
    scheduleDraw('baseline-read', readReport);
  }
}

export function baselineShown() {
  readAll();
}

// After the event stream came back: whatever changed meanwhile is read again if the tab is shown.
export function refreshBaseline() {
  if (shown()) {
    readAll();
  }
}

export function initBaseline(confirm, openRollouts) {
  confirmAction = confirm;
  showRollouts = openRollouts;
  $('baseline-csv').setAttribute('href', kBaselineCsvPath);
  $('converge-id').value = suggestedRolloutId('converge');
  $('baseline-set').addEventListener('click', setFromSite);
  $('converge').addEventListener('click', converge);
  $('baseline-list-more').addEventListener('click', () => readList(true));
  $('baseline-filter').addEventListener('change', () => scheduleDraw('baseline', drawReport));
}
