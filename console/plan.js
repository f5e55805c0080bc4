// The plan: the ticked components, each bound to the file of its slot, the upgrade id, the
// preview and its frozen snapshot, and the start. Refusals are shown beside the target or file
// they name.

import { api } from './api.js';
import { $, el, setText, clear, formatTime, refusalText } from './dom.js';
import { fileRows, fileRequest, rowNamedBy, clearFileProblems, showFileProblem } from './firmware.js';
import { scheduleDraw } from './schedule.js';
import { state, kSlotOfComponent } from './state.js';

let planRows = [];      // { target, tr, problem } in request order
let dirty = true;
let previewedPlan = ''; // the request the shown snapshot was frozen from
let snapshotFromTicks = true;  // false for a snapshot previewed elsewhere (a retry): ticks do not stale it
let snapshotReady = false;
let onStarted = () => {};

export function suggestedUpgradeId() {
  const now = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  return `upgrade_${now.getFullYear()}${pad(now.getMonth() + 1)}${pad(now.getDate())}_` +
    `${pad(now.getHours())}${pad(now.getMinutes())}${pad(now.getSeconds())}`;
}

// The ticked components in site order, each with what its device reports now.
function plannedTargets() {
  const order = new Map();
  let position = 0;
  for (const nodeId of state.devices.keys()) {
    order.set(nodeId, position++);
  }
  const targets = [];
  for (const tick of state.ticked.values()) {
    const device = state.devices.get(tick.nodeId);
    const components = (device && device.components) || [];
    const componentPosition = components.findIndex((c) => c.typeId === tick.typeId && c.index === tick.index);
    const component = components[componentPosition];
    targets.push({
      nodeId: tick.nodeId,
      nodeName: device ? device.nodeName : tick.nodeId,
      componentTypeId: tick.typeId,
      componentIndex: tick.index,
      currentVersion: component ? component.version : '',
      fileSlotKey: kSlotOfComponent[tick.typeId] || '',
      sortKey: [order.get(tick.nodeId) ?? position, componentPosition],
    });
  }
  targets.sort((a, b) => a.sortKey[0] - b.sortKey[0] || a.sortKey[1] - b.sortKey[1]);
  return targets;
}

function fileForSlot(slot) {
  return fileRows().find((row) => row.slot.value === slot && row.path.value.trim() !== '') || null;
}

// The ticked targets and the files they use, as a preview (or a rollout) takes them.
export function buildRequest() {
  const targets = plannedTargets();
  const slots = new Set(targets.map((t) => t.fileSlotKey));
  const sentFiles = fileRows().filter((row) => row.path.value.trim() !== '' && slots.has(row.slot.value));
  const request = {
    upgradeId: $('upgrade-id').value.trim(),
    files: sentFiles.map(fileRequest),
    targets: targets.map((t) => ({
      nodeId: t.nodeId, componentTypeId: t.componentTypeId, componentIndex: t.componentIndex,
      currentVersion: t.currentVersion, fileSlotKey: t.fileSlotKey, force: false,
    })),
  };
  return { request, targets, sentFiles };
}

function drawPlan() {
  dirty = false;
  const { targets } = buildRequest();
  const body = $('plan-rows');
  clear(body);
  planRows = targets.map((target) => {
    const file = fileForSlot(target.fileSlotKey);
    const problem = el('td', { class: 'field-problem' });
    if (!file) {
      problem.textContent = `No file for slot ${target.fileSlotKey || '(none)'}`;
    }
    const tr = el('tr', { dataset: { nodeId: target.nodeId } },
      el('td', { text: target.nodeName }),
      el('td', { text: `${target.componentTypeId} #${target.componentIndex}` }),
      el('td', { text: target.currentVersion || '—' }),
      el('td', { class: 'mono', text: file ? file.path.value.trim() : '—' }),
      problem);
    body.append(tr);
    return { target, tr, problem };
  });
  setText($('plan-summary'), `${targets.length} component${targets.length === 1 ? '' : 's'} planned`);
  if (snapshotReady && snapshotFromTicks && JSON.stringify(buildRequest().request) !== previewedPlan) {
    setSnapshotReady(false);
    setText($('snapshot-summary'), 'The plan changed since this preview: preview again before starting.');
  }
}

function setSnapshotReady(ready) {
  snapshotReady = ready;
  $('start').disabled = !ready;
}

// A snapshot previewed outside the plan (a retry of a finished task's failed devices), ready to start.
export function showOtherSnapshot(snapshot) {
  snapshotFromTicks = false;
  showSnapshot(snapshot, true);
}

export function showSnapshot(snapshot, ready) {
  const body = $('snapshot-rows');
  clear(body);
  if (!snapshot) {
    setText($('snapshot-summary'), 'No preview yet.');
    setSnapshotReady(false);
    return;
  }
  const files = new Map((snapshot.files || []).map((file) => [file.fileNo, file]));
  for (const target of snapshot.targets || []) {
    const file = files.get(target.fileNo);
    body.append(el('tr', { dataset: { nodeId: target.nodeId } },
      el('td', { text: target.nodeName }),
      el('td', { text: `${target.componentTypeId} #${target.componentIndex}` }),
      el('td', { text: `${target.currentVersion} → ${target.targetVersion}` }),
      el('td', { class: 'mono', text: file ? file.fileName : '' })));
  }
  setText($('snapshot-summary'), `Upgrade ${snapshot.upgradeId} (number ${snapshot.upgradeNo}): ` +
    `${snapshot.targetCount} components, ${snapshot.fileCount} files, frozen ${formatTime(snapshot.createdAt)}`);
  setSnapshotReady(ready);
}

async function preview() {
  setText($('plan-error'), '');
  clearFileProblems();
  drawPlan();
  const { request, sentFiles } = buildRequest();
  setText($('plan-summary'), 'Previewing…');
  const answer = await api.preview(request);
  setText($('plan-summary'), `${request.targets.length} components planned`);
  if (!answer.ok) {
    setText($('plan-error'), refusalText(answer.error));
    const message = answer.error.message || '';
    const target = /\btargets\[(\d+)\]/.exec(message);
    if (target && planRows[Number(target[1])]) {
      const row = planRows[Number(target[1])];
      row.problem.textContent = refusalText(answer.error);
      row.tr.classList.add('refused');
    }
    const file = rowNamedBy(message, sentFiles);
    if (file && !target) {
      showFileProblem(file, answer.error);
    }
    if (/\bupgradeId\b|UPGRADE_ID/.test(message)) {
      $('upgrade-id').setAttribute('aria-invalid', 'true');
    }
    return;
  }
  $('upgrade-id').removeAttribute('aria-invalid');
  previewedPlan = JSON.stringify(request);
  snapshotFromTicks = true;
  showSnapshot(answer.data.snapshot, answer.data.ready !== false);
}

async function start() {
  setText($('plan-error'), '');
  $('start').disabled = true;
  const answer = await api.start();
  if (!answer.ok) {
    setText($('plan-error'), refusalText(answer.error));
    $('start').disabled = !snapshotReady;
    return;
  }
  setSnapshotReady(false);
  setText($('snapshot-summary'), `Started as upgrade number ${answer.data.upgradeNo}.`);
  $('upgrade-id').value = suggestedUpgradeId();
  onStarted(answer.data);
}

// The plan is drawn only while its panel is shown: status events of a large site during a task
// would otherwise rebuild a table nobody looks at.
export function planChanged() {
  dirty = true;
  if (!$('panel-plan').hidden) {
    scheduleDraw('plan', drawPlan);
  }
}

export function planShown() {
  if (dirty) {
    drawPlan();
  }
}

export function initPlan(startedCallback) {
  onStarted = startedCallback;
  $('upgrade-id').value = suggestedUpgradeId();
  $('preview').addEventListener('click', preview);
  $('start').addEventListener('click', start);
  $('upgrade-id').addEventListener('input', planChanged);
  state.listeners.add(planChanged);
}
