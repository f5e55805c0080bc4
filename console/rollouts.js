// The Rollouts view: a rollout planned from the ticked components and their files with its policy,
// the groups it makes, then start, pause, resume and cancel (each asked first) and its live
// progress per group and per device, with the reason when it stopped.

import { api } from './api.js';
import { $, el, setText, setData, clear, formatTime, refusalText } from './dom.js';
import { buildRequest } from './plan.js';
import { scheduleDraw } from './schedule.js';
import { state } from './state.js';

const kOperations = {
  start: { label: 'Start', allowed: ['READY'] },
  pause: { label: 'Pause', allowed: ['RUNNING', 'SCHEDULED'] },
  resume: { label: 'Resume', allowed: ['PAUSED', 'HALTED'] },
  cancel: { label: 'Cancel', allowed: ['READY', 'SCHEDULED', 'RUNNING', 'PAUSED', 'HALTED'] },
};
const kOpen = ['SCHEDULED', 'RUNNING', 'PAUSED', 'HALTED'];

const rollouts = new Map();  // rolloutNo -> the newest document seen
let selected = null;         // rolloutNo shown in the detail
let confirmAction = null;
let planDirty = true;
const deviceRows = new Map();  // nodeId -> row of the detail's device table
let deviceRowsOf = null;       // rolloutNo the device rows belong to

// The group sizes typed as "1, 10, 100"; null when a token is not a whole number.
function groupSizes() {
  const text = $('rollout-group-sizes').value.trim();
  if (text === '') {
    return [];
  }
  const sizes = text.split(/[\s,]+/).filter((token) => token !== '').map((token) => Number(token));
  return sizes.every((size) => Number.isInteger(size)) ? sizes : null;
}

function timeOf(input) {
  return input.value ? new Date(input.value).getTime() : 0;
}

const kCapTypes = ['EMU', 'PCS', 'BMS'];

// The caps typed in, by device type; an empty field is no cap.
function capsOf() {
  const caps = {};
  for (const type of kCapTypes) {
    const value = $(`rollout-cap-${type.toLowerCase()}`).value.trim();
    if (value !== '') {
      caps[type] = Number(value);
    }
  }
  return caps;
}

// The policy typed in the form; a converge rollout made from the Baseline tab takes it too.
export function rolloutPolicy() {
  const soakSeconds = Number($('rollout-soak').value || 0);
  const caps = capsOf();
  return {
    ...(soakSeconds !== 0 ? { soakSeconds } : {}),
    ...(Object.keys(caps).length !== 0 ? { maxConcurrentPerType: caps } : {}),
    groupSizes: groupSizes() || [],
    successPercent: Number($('rollout-success').value),
    maxFailedDevices: Number($('rollout-max-failed').value),
    manualAdvance: $('rollout-manual').checked,
    startAt: timeOf($('rollout-start-at')),
    windowEndAt: timeOf($('rollout-window-end')),
    retryRounds: Number($('rollout-retries').value),
  };
}

// The groups the backend will make: devices in the order they first appear in the targets, the
// sizes cut to what is left, the rest in one last group.
export function plannedGroups(nodeIds, sizes) {
  const groups = [];
  let next = 0;
  for (const size of sizes) {
    if (next >= nodeIds.length) {
      break;
    }
    const count = Math.min(size, nodeIds.length - next);
    groups.push(nodeIds.slice(next, next + count));
    next += count;
  }
  if (next < nodeIds.length) {
    groups.push(nodeIds.slice(next));
  }
  return groups;
}

function drawPlan() {
  planDirty = false;
  const { request } = buildRequest();
  const nodeIds = [...new Set(request.targets.map((target) => target.nodeId))];
  const sizes = groupSizes();
  const body = $('rollout-plan-groups');
  clear(body);
  setText($('rollout-plan-summary'), `${request.targets.length} component${request.targets.length === 1 ? '' : 's'} ` +
    `on ${nodeIds.length} device${nodeIds.length === 1 ? '' : 's'} ticked, ${request.files.length} file` +
    `${request.files.length === 1 ? '' : 's'}`);
  if (sizes === null) {
    body.append(el('tr', {}, el('td', { colspan: 3, class: 'field-problem', text: 'Group sizes must be whole numbers' })));
    return;
  }
  plannedGroups(nodeIds, sizes).forEach((members, index) => {
    const names = members.map((nodeId) => (state.devices.get(nodeId) || {}).nodeName || nodeId);
    body.append(el('tr', { dataset: { groupNo: String(index + 1) } },
      el('td', { text: String(index + 1) }), el('td', { class: 'num', text: String(members.length) }),
      el('td', { text: names.join(', ') })));
  });
}

export function rolloutPlanChanged() {
  planDirty = true;
  if (!$('panel-rollouts').hidden) {
    scheduleDraw('rollout-plan', drawPlan);
  }
}

async function create() {
  setText($('rollout-error'), '');
  if (groupSizes() === null) {
    setText($('rollout-error'), 'Group sizes must be whole numbers separated by commas');
    return;
  }
  const { request } = buildRequest();
  const answer = await api.createRollout({
    rolloutId: $('rollout-id').value.trim(), targets: request.targets, files: request.files, policy: rolloutPolicy(),
  });
  if (!answer.ok) {
    setText($('rollout-error'), refusalText(answer.error));
    return;
  }
  showCreatedRollout(answer.data);
  $('rollout-id').value = suggestedRolloutId();
}

// A rollout just created here or elsewhere in the console: the detail shows it.
export function showCreatedRollout(rollout) {
  selected = rollout.rolloutNo;
  onRolloutDocument(rollout);
}

function operationQuestion(rollout, operation) {
  const name = `rollout ${rollout.rolloutId} (number ${rollout.rolloutNo})`;
  const group = rollout.groups[Math.max(0, (rollout.currentGroupNo || 1) - 1)];
  switch (operation) {
    case 'start':
      return rollout.policy.startAt > Date.now()
        ? `Start ${name}? It waits until ${formatTime(rollout.policy.startAt)}, then upgrades group 1 (${rollout.groups[0].nodeIds.length} devices).`
        : `Start ${name}? Group 1 (${rollout.groups[0].nodeIds.length} devices) is upgraded first.`;
    case 'pause':
      return `Pause ${name}? A running group finishes; no other group starts until it is resumed.`;
    case 'resume':
      return `Resume ${name}? The devices of group ${group ? group.groupNo : ''} that did not succeed run again first.`;
    default:
      return `Cancel ${name}? A running group's task is aborted and nothing more starts. This cannot be undone.`;
  }
}

async function operate(operation) {
  const rollout = rollouts.get(selected);
  if (!rollout) {
    return;
  }
  setText($('rollout-operation-error'), '');
  if (!(await confirmAction(operationQuestion(rollout, operation)))) {
    return;
  }
  const answer = await api.operateRollout(rollout.rolloutNo, operation);
  if (!answer.ok) {
    setText($('rollout-operation-error'), refusalText(answer.error));
    return;
  }
  onRolloutDocument(answer.data);
}

function countsText(counts) {
  return `${counts.successCount} success · ${counts.failedCount} failed · ${counts.abortedCount} aborted · ` +
    `${counts.skippedCount} skipped`;
}

function drawSelect() {
  const select = $('rollout-select');
  const numbers = [...rollouts.keys()].sort((a, b) => b - a);
  const signature = numbers.map((no) => `${no}:${rollouts.get(no).status}`).join(',');
  if (select.dataset.signature !== signature) {
    select.dataset.signature = signature;
    clear(select);
    for (const no of numbers) {
      const rollout = rollouts.get(no);
      select.append(el('option', { value: String(no), text: `${rollout.rolloutId} (number ${no}) · ${rollout.status}` }));
    }
  }
  if (selected !== null) {
    select.value = String(selected);
  }
}

function drawDevices(rollout) {
  const body = $('rollout-device-rows');
  if (deviceRowsOf !== rollout.rolloutNo) {
    clear(body);
    deviceRows.clear();
    deviceRowsOf = rollout.rolloutNo;
  }
  for (const device of rollout.devices) {
    let row = deviceRows.get(device.nodeId);
    if (!row) {
      const result = el('span', { class: 'badge' });
      row = { tr: el('tr', { dataset: { nodeId: device.nodeId } }), result, task: el('td', { class: 'num' }),
        error: el('td', { class: 'field-problem' }) };
      const name = (state.devices.get(device.nodeId) || {}).nodeName || device.nodeId;
      row.tr.append(el('td', {}, el('div', { class: 'name', text: name }), el('div', { class: 'summary', text: device.nodeId })),
        el('td', { class: 'num', text: String(device.groupNo) }), el('td', {}, result), row.task, row.error);
      deviceRows.set(device.nodeId, row);
      body.append(row.tr);
    }
    setText(row.result, device.result);
    setData(row.result, 'result', device.result);
    setData(row.tr, 'result', device.result);
    setText(row.task, device.upgradeNo ? String(device.upgradeNo) : '—');
    setText(row.error, device.error || '');
  }
}

// Who acted on a rollout, where the backend names people.
function peopleText(rollout) {
  const acts = [['createdBy', 'created by'], ['approvedBy', 'approved by'], ['rejectedBy', 'rejected by'],
    ['startedBy', 'started by'], ['pausedBy', 'paused by'], ['resumedBy', 'resumed by'], ['cancelledBy', 'cancelled by']];
  const parts = acts.filter(([key]) => rollout[key]).map(([key, words]) => `${words} ${rollout[key]}`);
  if (rollout.rejectReason) {
    parts.push(`rejected because: ${rollout.rejectReason}`);
  }
  return parts.join(' · ');
}

function drawDetail() {
  drawSelect();
  const rollout = rollouts.get(selected);
  $('rollout-detail').hidden = !rollout;
  if (!rollout) {
    return;
  }
  const status = $('rollout-status');
  setText(status, rollout.status);
  setData(status, 'result', rollout.status);
  setData($('rollout-detail'), 'rolloutNo', String(rollout.rolloutNo));
  const group = rollout.currentGroupNo ? ` · at group ${rollout.currentGroupNo} of ${rollout.groups.length}` : '';
  setText($('rollout-counts'), `${rollout.deviceCount} devices · ${countsText(rollout)}${group} · created ` +
    `${formatTime(rollout.createdAt)}` + (rollout.startedAt ? ` · started ${formatTime(rollout.startedAt)}` : '') +
    (rollout.finishedAt ? ` · finished ${formatTime(rollout.finishedAt)}` : ''));
  setText($('rollout-reason'), rollout.reason ? `Reason: ${rollout.reason}` : '');
  setText($('rollout-people'), peopleText(rollout));
  const p = rollout.policy;
  setText($('rollout-policy'), `Group sizes ${p.groupSizes.length ? p.groupSizes.join(', ') : '(one group)'} · ` +
    `success ${p.successPercent} % · at most ${p.maxFailedDevices} failed · ` +
    `${p.manualAdvance ? 'waits after each group' : 'advances by itself'} · ` +
    `start ${p.startAt ? formatTime(p.startAt) : 'when started'} · window ${p.windowEndAt ? `until ${formatTime(p.windowEndAt)}` : 'none'} · ` +
    `${p.retryRounds} retry round${p.retryRounds === 1 ? '' : 's'}` +
    (p.soakSeconds ? ` · soak ${p.soakSeconds} s` : '') +
    (p.maxConcurrentPerType ? ` · at most ${Object.entries(p.maxConcurrentPerType).map(([type, cap]) => `${cap} ${type}`).join(', ')} down at once` : ''));
  for (const [operation, { allowed }] of Object.entries(kOperations)) {
    $(`rollout-${operation}`).disabled = !allowed.includes(rollout.status);
  }
  const groups = $('rollout-group-rows');
  clear(groups);
  for (const entry of rollout.groups) {
    const badge = el('span', { class: 'badge', text: entry.status });
    setData(badge, 'result', entry.status);
    groups.append(el('tr', { dataset: { groupNo: String(entry.groupNo), status: entry.status } },
      el('td', { text: String(entry.groupNo) + (entry.groupNo === rollout.currentGroupNo ? ' (current)' : '') }),
      el('td', {}, badge), el('td', { class: 'num', text: String(entry.nodeIds.length) }),
      el('td', { text: countsText(entry) }),
      el('td', { text: entry.upgradeNos.length ? entry.upgradeNos.join(', ') : '—' })));
  }
  drawDevices(rollout);
}

export function onRolloutDocument(rollout) {
  rollouts.set(rollout.rolloutNo, rollout);
  // The detail follows a rollout that starts running unless the operator chose another one.
  if (selected === null || (kOpen.includes(rollout.status) && !kOpen.includes((rollouts.get(selected) || {}).status))) {
    selected = rollout.rolloutNo;
  }
  scheduleDraw('rollouts', drawDetail);
}

export async function refreshRollouts() {
  const answer = await api.rollouts();
  if (!answer.ok) {
    setText($('rollout-operation-error'), refusalText(answer.error));
    return;
  }
  rollouts.clear();
  for (const rollout of answer.data.rollouts) {
    rollouts.set(rollout.rolloutNo, rollout);
  }
  if (selected === null || !rollouts.has(selected)) {
    const open = answer.data.rollouts.find((rollout) => kOpen.includes(rollout.status));
    selected = open ? open.rolloutNo : (answer.data.rollouts[0] || {}).rolloutNo ?? null;
  }
  scheduleDraw('rollouts', drawDetail);
}

export function rolloutsShown() {
  if (planDirty) {
    drawPlan();
  }
  refreshRollouts();
}

export function suggestedRolloutId(prefix = 'rollout') {
  const now = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  return `${prefix}_${pad(now.getMonth() + 1)}${pad(now.getDate())}_${pad(now.getHours())}${pad(now.getMinutes())}` +
    pad(now.getSeconds());
}

export function initRollouts(confirm) {
  confirmAction = confirm;
  $('rollout-id').value = suggestedRolloutId();
  $('rollout-create').addEventListener('click', create);
  $('rollout-group-sizes').addEventListener('input', rolloutPlanChanged);
  $('rollout-select').addEventListener('change', () => {
    selected = Number($('rollout-select').value);
    setText($('rollout-operation-error'), '');
    scheduleDraw('rollouts', drawDetail);
  });
  for (const operation of Object.keys(kOperations)) {
    $(`rollout-${operation}`).addEventListener('click', () => operate(operation));
  }
  state.listeners.add(rolloutPlanChanged);
}
