// The header's task indicator: the current or last task, seen from every tab. It follows the
// same documents as the Run view (events, and the current upgrade read at start and after the
// event stream came back) and leads to the Run tab. A rollout has an indicator of its own beside it.

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

// The rollout beside it: the open rollout (or the last one seen finishing), its status, devices done
// and the group it is at; it leads to the Rollouts tab.
let pendingRollout = null;

export function showRolloutInIndicator(rollout) {
  pendingRollout = rollout;
  scheduleDraw('rollout-indicator', drawRollout);
}

function drawRollout() {
  const rollout = pendingRollout;
  pendingRollout = null;
  if (!rollout || !Array.isArray(rollout.devices)) {
    return;
  }
  const indicator = $('rollout-indicator');
  // A rollout that was only created or is long finished does not take the header.
  if (rollout.status === 'READY' && indicator.hidden) {
    return;
  }
  setText($('rollout-indicator-name'), `Rollout ${rollout.rolloutId} #${rollout.rolloutNo}`);
  const status = $('rollout-indicator-status');
  setText(status, rollout.status);
  setData(status, 'result', rollout.status);
  const group = rollout.currentGroupNo ? ` · group ${rollout.currentGroupNo} of ${rollout.groups.length}` : '';
  setText($('rollout-indicator-progress'), `${rollout.successCount} / ${rollout.deviceCount} devices upgraded${group}`);
  setData(indicator, 'rolloutNo', String(rollout.rolloutNo));
  indicator.hidden = false;
}

export function initRolloutIndicator(openRollouts) {
  $('rollout-indicator').addEventListener('click', openRollouts);
}
