// "Retry failed devices" of a finished task (Run and History): the backend previews a new task of
// the finished task's devices that did not end SUCCESS, with the same files digested again; the
// operator then starts it, or leaves it in the Plan tab.

import { api } from './api.js';
import { refusalText } from './dom.js';
import { showOtherSnapshot, suggestedUpgradeId } from './plan.js';

let confirmAction = null;
let onStarted = () => {};

// The devices of a finished task that a retry would take.
export function retriableCount(task) {
  if (!task || task.active || !Array.isArray(task.devices)) {
    return 0;
  }
  return task.devices.filter((device) => device.result !== 'SUCCESS').length;
}

// report(text) shows the outcome where the operator clicked ('' clears it).
export async function retryFailed(task, report) {
  const count = retriableCount(task);
  const asked = await confirmAction(`Retry the ${count} device${count === 1 ? '' : 's'} of ${task.upgradeId} ` +
    `(number ${task.upgradeNo}) that did not end SUCCESS? A new task is previewed with the same files, checked again.`);
  if (!asked) {
    return;
  }
  report('Previewing the retry…');
  const answer = await api.retry(task.upgradeNo, suggestedUpgradeId().replace(/^upgrade_/, 'retry_'));
  if (!answer.ok) {
    report(refusalText(answer.error));
    return;
  }
  const snapshot = answer.data.snapshot;
  showOtherSnapshot(snapshot);
  const start = await confirmAction(`Task ${snapshot.upgradeId} (number ${snapshot.upgradeNo}) was previewed with ` +
    `${snapshot.targetCount} component${snapshot.targetCount === 1 ? '' : 's'}. Start it now?`);
  if (!start) {
    report(`Previewed as ${snapshot.upgradeId} (number ${snapshot.upgradeNo}): start it from the Plan tab.`);
    return;
  }
  const started = await api.start();
  if (!started.ok) {
    report(refusalText(started.error));
    return;
  }
  report('');
  onStarted(started.data);
}

export function initRetry(confirm, startedCallback) {
  confirmAction = confirm;
  onStarted = startedCallback;
}
