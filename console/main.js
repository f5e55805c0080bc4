// The operator console: wires the views to the API and the event stream.

import { api } from './api.js';
import { approvalsShown, initApprovals } from './approvals.js';
import { initAudit, refreshAudit } from './audit.js';
import { baselineShown, initBaseline, onBaselineDrift, refreshBaseline } from './baseline.js';
import { $, setText, setData, refusalText } from './dom.js';
import { EventStream } from './events.js';
import { framesOnDeviceStatus, framesShown, initFrames, onCommunicationSnapshot, refreshFrames } from './frames.js';
import { initFirmware } from './firmware.js';
import { initFirmwareStore, refreshFirmwareStore } from './firmware_store.js';
import { initHistory, refreshHistory } from './history.js';
import { initHolds, onHoldsDocument, refreshHolds } from './holds.js';
import { initIndicator, initRolloutIndicator, showRolloutInIndicator, showTaskInIndicator } from './indicator.js';
import { initLogin, refreshWho } from './login.js';
import { initPlan, planShown, showSnapshot } from './plan.js';
import { initRetry } from './retry.js';
import { initRoles } from './roles.js';
import { initRollouts, onRolloutDocument, rolloutsShown } from './rollouts.js';
import { initRun, onUpgradeCurrent } from './run.js';
import { onNextDrawn } from './schedule.js';
import { buildTree, initSite, onDeviceStatus } from './site.js';
import { state } from './state.js';
import { UpgradeFeed } from './upgrade_feed.js';

const kTabs = ['site', 'firmware', 'plan', 'run', 'rollouts', 'baseline', 'history', 'frames', 'audit', 'approvals'];

function showTab(name) {
  for (const tab of kTabs) {
    const selected = tab === name;
    $(`tab-${tab}`).setAttribute('aria-selected', String(selected));
    $(`tab-${tab}`).tabIndex = selected ? 0 : -1;
    $(`panel-${tab}`).hidden = !selected;
  }
  if (name === 'firmware') {
    refreshFirmwareStore();
  } else if (name === 'plan') {
    planShown();
  } else if (name === 'frames') {
    framesShown();
  } else if (name === 'history') {
    refreshHistory();
  } else if (name === 'audit') {
    refreshAudit();
  } else if (name === 'rollouts') {
    rolloutsShown();
  } else if (name === 'baseline') {
    baselineShown();
  } else if (name === 'approvals') {
    approvalsShown();
  }
}

function initTabs() {
  kTabs.forEach((tab, position) => {
    const button = $(`tab-${tab}`);
    button.addEventListener('click', () => showTab(tab));
    // Arrow keys move between tabs, as in any tab list.
    button.addEventListener('keydown', (event) => {
      const step = event.key === 'ArrowRight' ? 1 : event.key === 'ArrowLeft' ? -1 : 0;
      if (step !== 0) {
        const next = kTabs[(position + step + kTabs.length) % kTabs.length];
        showTab(next);
        $(`tab-${next}`).focus();
      }
    });
  });
  showTab('site');
}

// A modal yes/no question; resolves true for yes.
function confirmDialog(text) {
  const dialog = $('confirm');
  setText($('confirm-text'), text);
  return new Promise((resolve) => {
    const finish = (answer) => {
      $('confirm-yes').onclick = null;
      $('confirm-no').onclick = null;
      dialog.onclose = null;
      if (dialog.open) {
        dialog.close();
      }
      resolve(answer);
    };
    $('confirm-yes').onclick = () => finish(true);
    $('confirm-no').onclick = () => finish(false);
    dialog.onclose = () => finish(false);
    dialog.showModal();
  });
}

async function refreshHealth() {
  const answer = await api.health();
  if (!answer.ok) {
    setText($('health-status'), refusalText(answer.error));
    return;
  }
  const health = answer.data;
  setText($('health-status'), health.status);
  setText($('health-generation'), health.sceneGeneration);
  const tcp = health.deviceTcp || {};
  setText($('health-devices'), `${tcp.connectedDeviceCount ?? 0} / ${tcp.deviceCount ?? health.directDeviceCount ?? 0}`);
  setText($('health-history'), health.features && health.features.historyPersistence ? 'persisted' : 'NOT persisted');
}

async function refreshTopology() {
  const answer = await api.workspace();
  if (!answer.ok) {
    setText($('site-error'), refusalText(answer.error));
    return;
  }
  // A refusal from before a login (or a backend restart) no longer holds once the site reads.
  setText($('site-error'), '');
  state.sceneGeneration = answer.data.sceneGeneration;
  state.topology = answer.data.topology;
  buildTree(state.topology);
}

async function refreshDevices() {
  const answer = await api.deviceStatus();
  if (answer.ok) {
    onDeviceStatus(answer.data);
    framesOnDeviceStatus(answer.data);
  }
}

// A page opened (or reloaded) while a task runs goes straight to it.
let firstRead = true;

const upgradeFeed = new UpgradeFeed(() => refreshCurrent(), (task, changed) => {
  onUpgradeCurrent(task, changed);
  showTaskInIndicator(task);
});
// For the browser test: how often the task was read again, and why.
window.otaUpgradeFeedStats = () => ({ ...upgradeFeed.stats });

async function refreshCurrent() {
  const answer = await api.current();
  const first = firstRead;
  firstRead = false;
  if (!answer.ok) {
    return;
  }
  const current = answer.data;
  if (Array.isArray(current.devices)) {
    upgradeFeed.onDocument(current);
    if (first && current.active) {
      showTab('run');
    }
  } else if (current.currentTask) {
    showSnapshot(current.currentTask, current.previewReady === true);
  }
}

async function refreshRollout() {
  const answer = await api.currentRollout();
  if (answer.ok && answer.data.active) {
    onRolloutDocument(answer.data.rollout);
    showRolloutInIndicator(answer.data.rollout);
  }
}

// Figures for the benchmark, over the last events only: how long a device status event takes
// from its arrival until it is applied and laid out, and how much of that is parsing it, waiting
// for the next frame and drawing.
const kSampleLimit = 256;
const samples = { totalMs: [], parseMs: [], waitMs: [], drawMs: [] };
window.otaConsoleStats = () => ({
  deviceStatusMs: samples.totalMs.slice(), parseMs: samples.parseMs.slice(),
  waitMs: samples.waitMs.slice(), drawMs: samples.drawMs.slice(),
});

function keep(list, value) {
  list.push(value);
  if (list.length > kSampleLimit) {
    list.shift();
  }
}

function measure(receivedAt, parsedAt) {
  const queuedAt = performance.now();
  onNextDrawn((drawStartedAt) => {
    void document.body.offsetHeight;  // forces the layout the redraw caused
    const now = performance.now();
    keep(samples.totalMs, now - receivedAt);
    keep(samples.parseMs, parsedAt - receivedAt);
    keep(samples.waitMs, drawStartedAt - queuedAt);
    keep(samples.drawMs, now - drawStartedAt);
  });
}

function onEvent(envelope, receivedAt, parsedAt) {
  const data = envelope.data;
  if (!data) {
    return;
  }
  if (envelope.type === 'device.status') {
    if (state.sceneGeneration !== null && data.sceneGeneration !== state.sceneGeneration) {
      refreshTopology();
    }
    onDeviceStatus(data);
    framesOnDeviceStatus(data);
    measure(receivedAt, parsedAt);
  } else if (envelope.type === 'upgrade.devices') {
    upgradeFeed.onDevices(data);
  } else if (envelope.type === 'communication.snapshot') {
    onCommunicationSnapshot(data);
  } else if (envelope.type === 'rollout.current') {
    onRolloutDocument(data);
    showRolloutInIndicator(data);
    if (!$('panel-approvals').hidden) {
      approvalsShown();
    }
  } else if (envelope.type === 'site.holds') {
    onHoldsDocument(data);
  } else if (envelope.type === 'baseline.drift') {
    onBaselineDrift();
  }
}

function reloadAll() {
  refreshHealth();
  refreshWho();
  refreshTopology().then(refreshDevices);
  refreshCurrent();
  refreshRollout();
  refreshFrames();
  refreshHolds();
  refreshBaseline();
}

let linkWasUp = false;
function onLink(up) {
  const link = $('link-state');
  setData(link, 'state', up ? 'up' : 'down');
  setText(link, up ? 'Live' : 'Disconnected from the backend: reconnecting…');
  if (up && linkWasUp) {
    // Whatever happened while the link was down (a backend restart, a finished task) is read again.
    reloadAll();
  } else if (up) {
    // A hold changed between the page's first read and the stream's first event is read again.
    refreshHolds();
  }
  linkWasUp ||= up;
}

initRoles();
initTabs();
initIndicator(() => showTab('run'));
initRolloutIndicator(() => showTab('rollouts'));
initSite();
initFirmware();
initFirmwareStore();
initPlan(() => showTab('run'));
initRun(confirmDialog, () => {
  refreshHealth();
  if (!$('panel-history').hidden) {
    refreshHistory();
  }
});
initHistory(confirmDialog);
initRetry(confirmDialog, () => showTab('run'));
initRollouts(confirmDialog);
initHolds(confirmDialog);
initBaseline(confirmDialog, () => showTab('rollouts'));
initFrames();
initAudit();
initApprovals(confirmDialog);
const stream = new EventStream(onEvent, onLink);
initLogin(() => {
  reloadAll();
  stream.reconnectNow();
});
reloadAll();
stream.connect();
