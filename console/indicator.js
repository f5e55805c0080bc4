// The header's task indicator: the current or last task, seen from every tab. It follows the
// same documents as the Run view (events, and the current upgrade read at start and after the
// event stream came back) and leads to the Run tab.

import { $, setText, setData, setBar } from './dom.js';
import { scheduleDraw } from './schedule.js';

let pending = null;

// Devices that ended count as whole; the others by their workflow progress.
export function overallProgress(task) {
  const devices = task.devices || [];
  if (devices.length === 0) {
    return 0;
  }
  const sum = devices.reduce((total, device) => total + (device.completed ? 100 : Number(device.workflowProgress) || 0), 0);
  return Math.floor(sum / devices.length);
}

export function showTaskInIndicator(task) {
  pending = task;
  scheduleDraw('indicator', draw);
}

function draw() {
  const task = pending;
  pending = null;
  if (!task || !Array.isArray(task.devices)) {
    return;
  }
  const indicator = $('task-indicator');
  setText($('indicator-task'), `${task.upgradeId} #${task.upgradeNo}`);
  const status = $('indicator-status');
  setText(status, task.status);
  setData(status, 'result', task.status);
  setText($('indicator-devices'), `${task.completedCount} / ${task.deviceCount} devices done`);
  setBar($('indicator-progress'), overallProgress(task));
  setData(indicator, 'active', String(task.active === true));
  setData(indicator, 'upgradeNo', String(task.upgradeNo));
  indicator.hidden = false;
}

export function initIndicator(openRun) {
  $('task-indicator').addEventListener('click', openRun);
}
