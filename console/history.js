// Finished and prepared tasks, newest first, read a page at a time; one opens to its final report,
// one with failed devices offers to retry them.

import { needsRole } from './roles.js';
import { api } from './api.js';
import { $, el, setText, setData, clear, formatTime, refusalText } from './dom.js';
import { retriableCount, retryFailed } from './retry.js';
import { DeviceTable, countsText } from './run.js';

// Records per page: the backend reads only the page's rows, so a long history costs no more.
const kPageSize = 50;

const reportTable = new DeviceTable($('report-rows'));
let confirmAction = null;
let nextBefore = 0;  // the next page's cursor; 0 when the last page is shown
let shown = 0;
let skipped = 0;

function resultsText(task) {
  if (!task || !Array.isArray(task.devices)) {
    return '—';
  }
  return `${task.successCount} success, ${task.failedCount} failed, ${task.abortedCount} aborted of ${task.deviceCount}`;
}

function openReport(record) {
  const task = record.report || record.state;
  $('report').hidden = false;
  setText($('report-title'), `${record.report ? 'Final report' : 'Last state'} of ${record.upgradeId} (number ${record.upgradeNo})`);
  reportTable.reset();
  if (task && Array.isArray(task.devices)) {
    setText($('report-summary'), `${task.status} · ${countsText(task)}`);
    reportTable.draw(task);
  } else {
    setText($('report-summary'), 'The task was prepared but never started.');
  }
  $('report').scrollIntoView({ block: 'nearest' });
}

// Who acted on a task, where the backend names people: who started it, approved and aborted it.
function actorsText(record) {
  const parts = [];
  if (record.startedBy) {
    parts.push(record.startedBy);
  }
  if (record.approvedBy) {
    parts.push(`approved by ${record.approvedBy}`);
  }
  if (record.abortedBy) {
    parts.push(`aborted by ${record.abortedBy}`);
  }
  return parts.join(' · ') || '—';
}

function recordRow(record) {
  const task = record.report || record.state;
  const status = el('span', { class: 'badge', text: record.status });
  setData(status, 'result', record.status);
  const open = el('button', { type: 'button', class: 'plain open', text: 'Open',
    'aria-label': `Open the report of ${record.upgradeId}` });
  open.addEventListener('click', () => openReport(record));
  const actions = el('td', {}, open);
  if (record.report && retriableCount(record.report) > 0) {
    const retry = el('button', { type: 'button', class: 'plain retry', text: 'Retry failed devices',
      'aria-label': `Retry the failed devices of ${record.upgradeId}`, dataset: needsRole('operator', 'retry a task') });
    retry.addEventListener('click', () => retryFailed(record.report, (text) => setText($('history-error'), text)));
    actions.append(' ', retry);
  }
  return el('tr', { dataset: { upgradeNo: String(record.upgradeNo), status: record.status } },
    el('td', {}, el('div', { class: 'name', text: record.upgradeId }),
      el('div', { class: 'summary', text: `number ${record.upgradeNo}` })),
    el('td', {}, status),
    el('td', { class: 'who', text: actorsText(record) }),
    el('td', { text: formatTime(record.startedAt) }),
    el('td', { text: formatTime(record.completedAt) }),
    el('td', { text: resultsText(task) }),
    actions);
}

function drawSummary() {
  const hidden = skipped ? `, ${skipped} unreadable skipped` : '';
  const more = nextBefore ? ' (older ones on the next pages)' : '';
  setText($('history-summary'), `${shown} task${shown === 1 ? '' : 's'}${hidden}${more}`);
  $('history-older').hidden = nextBefore === 0;
}

// Appends the page below `before` (0: the newest page, replacing what is shown).
async function loadPage(before) {
  setText($('history-error'), '');
  const answer = await api.historyPage(kPageSize, before);
  if (!answer.ok) {
    setText($('history-error'), refusalText(answer.error));
    return;
  }
  const body = $('history-rows');
  if (!before) {
    clear(body);
    shown = 0;
    skipped = 0;
  }
  for (const record of answer.data.records || []) {
    body.append(recordRow(record));
  }
  shown += (answer.data.records || []).length;
  skipped += answer.data.skippedRecordCount || 0;
  nextBefore = answer.data.nextBefore || 0;
  drawSummary();
}

export function refreshHistory() {
  return loadPage(0);
}

async function clearHistory() {
  const confirmed = await confirmAction('Clear the upgrade history? Finished tasks and finished rollouts are deleted for good.');
  if (!confirmed) {
    return;
  }
  const answer = await api.clearHistory();
  if (!answer.ok) {
    setText($('history-error'), refusalText(answer.error));
    return;
  }
  $('report').hidden = true;
  await refreshHistory();
  setText($('history-summary'), `History cleared · ${$('history-summary').textContent}`);
}

export function initHistory(confirm) {
  confirmAction = confirm;
  $('history-refresh').addEventListener('click', refreshHistory);
  $('history-clear').addEventListener('click', clearHistory);
  $('history-older').addEventListener('click', () => loadPage(nextBefore));
}
