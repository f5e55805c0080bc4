// The running task: its status and counts, one row per device with its progress, stage, state,
// components and result. Rows are keyed by node id and touched only when their device changed.

import { api } from './api.js';
import { $, el, setText, setData, bar, setBar, clear, formatTime, refusalText } from './dom.js';
import { retriableCount, retryFailed } from './retry.js';
import { scheduleDraw } from './schedule.js';

// The result as the operator reads it: a device still going is RUNNING, one not begun WAITING.
export function shownResult(device) {
  if (device.result !== 'PENDING') {
    return device.result;
  }
  return device.startedAt ? 'RUNNING' : 'WAITING';
}

function componentText(target) {
  let text = `${target.componentTypeId} #${target.componentIndex} ${target.componentStageProgress} % ${target.state}`;
  if (target.reasonCode) {
    text += ` (${target.reasonName})`;
  }
  return text;
}

// A table body of device rows, reusable for the live task and for a finished task's report.
export class DeviceTable {
  constructor(body) {
    this.body = body;
    this.rows = new Map();
    this.upgradeNo = null;
  }

  reset() {
    clear(this.body);
    this.rows.clear();
    this.upgradeNo = null;
  }

  // devices: the ones to draw (those that changed), all of the task's when not given.
  draw(task, devices = task.devices || []) {
    if (task.upgradeNo !== this.upgradeNo) {
      this.reset();
      this.upgradeNo = task.upgradeNo;
      devices = task.devices || [];
    }
    for (const device of devices) {
      let row = this.rows.get(device.nodeId);
      if (!row) {
        row = this.createRow(device);
        this.rows.set(device.nodeId, row);
        this.body.append(row.tr);
      }
      this.updateRow(row, device);
    }
  }

  createRow(device) {
    const progress = bar(`Progress of ${device.nodeName}`);
    const stage = el('td');
    const stateText = el('span');
    const detail = el('div', { class: 'field-problem' });
    const components = el('ul', { class: 'comp-list' });
    const result = el('span', { class: 'badge' });
    const tr = el('tr', { dataset: { nodeId: device.nodeId } },
      el('td', {}, el('div', { class: 'name', text: device.nodeName }),
        el('div', { class: 'summary', text: `${device.nodeId} · ${device.address}:${device.port}` })),
      el('td', {}, progress), stage, el('td', {}, stateText, detail), el('td', {}, components),
      el('td', {}, result));
    return { tr, progress, stage, stateText, detail, components, result, signature: '', componentItems: [] };
  }

  updateRow(row, device) {
    const targets = device.targets || [];
    const signature = [device.workflowProgress, device.stage, device.state, device.result, device.startedAt,
      device.error, device.reasonName, ...targets.map(componentText)].join('\u0000');
    if (signature === row.signature) {
      return;
    }
    row.signature = signature;
    setBar(row.progress, device.workflowProgress);
    setText(row.stage, device.stage);
    setText(row.stateText, device.state);
    setText(row.detail, device.error ? `${device.reasonName}: ${device.error}` : '');
    const result = shownResult(device);
    setText(row.result, result);
    setData(row.result, 'result', result === 'WAITING' ? 'PENDING' : result);
    setData(row.tr, 'result', result);
    if (row.componentItems.length !== targets.length) {
      clear(row.components);
      row.componentItems = targets.map(() => {
        const item = el('li');
        row.components.append(item);
        return item;
      });
    }
    targets.forEach((target, index) => setText(row.componentItems[index], componentText(target)));
  }
}

export function countsText(task) {
  return `Upgrade ${task.upgradeId} (number ${task.upgradeNo}) · ${task.deviceCount} devices · ` +
    `${task.completedCount} completed · ${task.successCount} success · ${task.failedCount} failed · ` +
    `${task.abortedCount} aborted · ${task.runningDeviceCount} running · started ${formatTime(task.startedAt)}` +
    (task.finishedAt ? ` · finished ${formatTime(task.finishedAt)}` : '');
}

const table = new DeviceTable(document.getElementById('run-rows'));
let pending = null;
// nodeId -> device changed since the last draw; null: the whole task is drawn.
let changedDevices = null;
let current = null;
let confirmAction = null;
let onEnded = () => {};

// A task to show: whole (changed null) or with the devices that changed since the last one.
export function onUpgradeCurrent(task, changed = null) {
  if (changed === null || pending === null || pending.upgradeNo !== task.upgradeNo) {
    changedDevices = changed === null ? null : new Map();
  }
  if (changed !== null && changedDevices !== null) {
    for (const device of changed) {
      changedDevices.set(device.nodeId, device);
    }
  }
  pending = task;
  scheduleDraw('run', drawRun);
}

function drawRun() {
  const task = pending;
  const changed = changedDevices;
  pending = null;
  changedDevices = null;
  if (!task || !Array.isArray(task.devices)) {
    return;
  }
  const wasActive = current && current.active && current.upgradeNo === task.upgradeNo;
  current = task;
  const status = $('task-status');
  setText(status, task.status);
  setData(status, 'result', task.status);
  setText($('task-counts'), countsText(task));
  setText($('run-error'), task.error || '');
  $('abort').disabled = !task.active || !(task.devices || []).some((d) => d.abortAllowed);
  $('retry-run').hidden = retriableCount(task) === 0;
  table.draw(task, changed === null ? undefined : [...changed.values()]);
  if (wasActive && !task.active) {
    onEnded(task);
  }
}

async function abort() {
  if (!current) {
    return;
  }
  const upgradeNo = current.upgradeNo;
  const confirmed = await confirmAction(`Abort upgrade ${current.upgradeId} (number ${upgradeNo})? ` +
    'Devices that have not begun flashing stop and are reset.');
  if (!confirmed) {
    return;
  }
  setText($('run-error'), '');
  const answer = await api.abort(upgradeNo);
  if (!answer.ok) {
    setText($('run-error'), refusalText(answer.error));
  }
}

export function initRun(confirm, endedCallback) {
  confirmAction = confirm;
  onEnded = endedCallback;
  $('abort').addEventListener('click', abort);
  $('retry-run').addEventListener('click', () => {
    if (current) {
      retryFailed(current, (text) => setText($('run-error'), text));
    }
  });
}
