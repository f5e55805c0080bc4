// Finished and prepared tasks, newest first; one opens to its final report.

import { api } from './api.js';
import { $, el, setText, setData, clear, formatTime, refusalText } from './dom.js';
import { DeviceTable, countsText } from './run.js';

const reportTable = new DeviceTable($('report-rows'));
let confirmAction = null;

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

export async function refreshHistory() {
  setText($('history-error'), '');
  const answer = await api.history();
  if (!answer.ok) {
    setText($('history-error'), refusalText(answer.error));
    return;
  }
  const records = [...(answer.data.records || [])];
  records.sort((a, b) => (b.startedAt || 0) - (a.startedAt || 0) || b.upgradeNo - a.upgradeNo);
  const body = $('history-rows');
  clear(body);
  for (const record of records) {
    const task = record.report || record.state;
    const status = el('span', { class: 'badge', text: record.status });
    setData(status, 'result', record.status);
    const open = el('button', { type: 'button', class: 'plain', text: 'Open',
      'aria-label': `Open the report of ${record.upgradeId}` });
    open.addEventListener('click', () => openReport(record));
    body.append(el('tr', { dataset: { upgradeNo: String(record.upgradeNo), status: record.status } },
      el('td', {}, el('div', { class: 'name', text: record.upgradeId }),
        el('div', { class: 'summary', text: `number ${record.upgradeNo}` })),
      el('td', {}, status),
      el('td', { text: formatTime(record.startedAt) }),
      el('td', { text: formatTime(record.completedAt) }),
      el('td', { text: resultsText(task) }),
      el('td', {}, open)));
  }
  const skipped = answer.data.skippedRecordCount ? `, ${answer.data.skippedRecordCount} unreadable skipped` : '';
  setText($('history-summary'), `${records.length} task${records.length === 1 ? '' : 's'}${skipped}`);
}

async function clearHistory() {
  const confirmed = await confirmAction('Clear the upgrade history? Finished tasks are deleted for good.');
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
}
