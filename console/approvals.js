// What awaits a second person's approval: rollouts and a previewed task that someone else prepared.
// An approval names the digest of exactly what was shown here, so a plan changed since it was read
// is refused by the backend rather than approved unseen.

import { api } from './api.js';
import { $, el, setText, clear, formatTime, refusalText } from './dom.js';
import { needsRole } from './roles.js';

let ask = null;

function shortDigest(digest) {
  return digest ? `${digest.slice(0, 12)}…` : '—';
}

// An entry of the list carries the rollout's document beside its digest.
function planText(entry) {
  const rollout = entry.rollout || entry;
  const groups = Array.isArray(rollout.groups) ? rollout.groups.length : 0;
  const devices = rollout.deviceCount ?? (Array.isArray(rollout.devices) ? rollout.devices.length : 0);
  return `${devices} device${devices === 1 ? '' : 's'} in ${groups} group${groups === 1 ? '' : 's'}`;
}

function snapshotText(preview) {
  const snapshot = preview.snapshot || {};
  const devices = Array.isArray(snapshot.devices) ? snapshot.devices.length : (snapshot.deviceCount ?? 0);
  return `${devices} device${devices === 1 ? '' : 's'}` + (snapshot.upgradeId ? ` · ${snapshot.upgradeId}` : '');
}

async function act(question, call) {
  if (!(await ask(question))) {
    return;
  }
  setText($('approvals-error'), '');
  const answer = await call();
  if (!answer.ok) {
    setText($('approvals-error'), refusalText(answer.error));
  }
  refreshApprovals();
}

function rolloutRow(rollout) {
  const id = rollout.rolloutId || (rollout.rollout || {}).rolloutId;
  const what = `rollout ${rollout.rolloutNo}${id ? ` (${id})` : ''}`;
  const reason = el('input', { type: 'text', class: 'reject-reason', placeholder: 'Reason for rejecting',
    'aria-label': `Reason for rejecting ${what}`, size: 24 });
  const approve = el('button', { type: 'button', class: 'approve', text: 'Approve',
    'aria-label': `Approve ${what}`, dataset: needsRole('approver', 'approve a rollout'),
    onclick: () => act(`Approve ${what}, ${planText(rollout)}, prepared by ${rollout.createdBy || 'nobody named'}` +
      ` (plan ${shortDigest(rollout.planDigest)})?`, () => api.approveRollout(rollout.rolloutNo, rollout.planDigest)) });
  const reject = el('button', { type: 'button', class: 'plain reject', text: 'Reject',
    'aria-label': `Reject ${what}`, dataset: needsRole('approver', 'reject a rollout'),
    onclick: () => {
      const text = reason.value.trim();
      if (text === '') {
        setText($('approvals-error'), 'Say why the rollout is rejected');
        reason.focus();
        return;
      }
      act(`Reject ${what}? It then never starts.`, () => api.rejectRollout(rollout.rolloutNo, text));
    } });
  return el('tr', { dataset: { rolloutNo: String(rollout.rolloutNo) } },
    el('td', { class: 'who', text: rollout.createdBy || '—' }),
    el('td', { text: what }),
    el('td', { text: formatTime(rollout.createdAt) }),
    el('td', { text: planText(rollout) }),
    el('td', { class: 'mono', text: rollout.planDigest || '—', title: rollout.planDigest || '' }),
    el('td', {}, approve, ' ', reason, ' ', reject));
}

function previewRow(preview) {
  const approve = el('button', { type: 'button', class: 'approve', text: 'Approve',
    'aria-label': 'Approve the previewed task', dataset: needsRole('approver', 'approve a task'),
    onclick: () => act(`Approve the previewed task, ${snapshotText(preview)}, prepared by ` +
      `${preview.previewedBy || 'nobody named'} (snapshot ${shortDigest(preview.snapshotDigest)})?`,
    () => api.approvePreview(preview.snapshotDigest)) });
  return el('tr', { dataset: { preview: '1' } },
    el('td', { class: 'who', text: preview.previewedBy || '—' }),
    el('td', { text: 'the previewed task' }),
    el('td', { text: formatTime(preview.previewedAt) }),
    el('td', { text: snapshotText(preview) }),
    el('td', { class: 'mono', text: preview.snapshotDigest || '—', title: preview.snapshotDigest || '' }),
    el('td', {}, approve));
}

export async function refreshApprovals() {
  const answer = await api.approvals();
  const body = $('approvals-rows');
  if (!answer.ok) {
    clear(body);
    setText($('approvals-summary'), '');
    setText($('approvals-error'), answer.status === 404
      ? 'This site needs no approvals: the backend is not configured for them.'
      : refusalText(answer.error));
    return;
  }
  setText($('approvals-error'), '');
  const rows = (answer.data.rollouts || []).map(rolloutRow);
  if (answer.data.preview) {
    rows.push(previewRow(answer.data.preview));
  }
  clear(body);
  body.append(...rows);
  setText($('approvals-summary'), rows.length ? `${rows.length} awaiting approval` : 'Nothing awaits approval');
}

export function approvalsShown() {
  refreshApprovals();
}

// confirm: the console's yes/no question.
export function initApprovals(confirm) {
  ask = confirm;
  $('approvals-refresh').addEventListener('click', refreshApprovals);
}
