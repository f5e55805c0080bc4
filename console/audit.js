// The audit trail: every request to a POST route, who sent it and how it ended, newest first,
// a page at a time.

import { api } from './api.js';
import { $, el, setText, setData, clear, formatTime, refusalText } from './dom.js';

let nextBefore = 0;
let shown = 0;

function outcome(entry) {
  if (entry.status === 0) {
    return el('span', { class: 'badge', text: 'outcome unknown', dataset: { result: 'ABORTING' } });
  }
  const ok = entry.status < 400;
  const badge = el('span', { class: 'badge', text: ok ? String(entry.status) : `${entry.status} ${entry.errorCode}` });
  setData(badge, 'result', ok ? 'SUCCESS' : 'FAILED');
  return badge;
}

function subject(entry) {
  const parts = [];
  if (entry.upgradeId) {
    parts.push(entry.upgradeId);
  }
  if (entry.upgradeNo) {
    parts.push(`upgrade ${entry.upgradeNo}`);
  }
  if (entry.rolloutNo) {
    parts.push(`rollout ${entry.rolloutNo}`);
  }
  return parts.join(' · ') || '—';
}

function append(entries) {
  const body = $('audit-rows');
  for (const entry of entries) {
    body.append(el('tr', { dataset: { id: String(entry.id), status: String(entry.status) } },
      el('td', { class: 'who', text: entry.user || '—', title: entry.authenticatedBy || '' }),
      el('td', { text: formatTime(entry.at) }),
      el('td', {}, el('div', { class: 'name', text: `${entry.method} ${entry.route}` })),
      el('td', {}, outcome(entry)),
      el('td', { text: subject(entry) }),
      el('td', { class: 'mono', text: entry.client }),
      el('td', { class: 'mono', text: entry.requestId || '—' })));
  }
  shown += entries.length;
}

async function load(before) {
  setText($('audit-error'), '');
  const answer = await api.audit(before);
  if (!answer.ok) {
    setText($('audit-error'), refusalText(answer.error));
    return;
  }
  if (!before) {
    clear($('audit-rows'));
    shown = 0;
  }
  append(answer.data.entries || []);
  nextBefore = answer.data.nextBefore || 0;
  $('audit-older').disabled = nextBefore === 0;
  setText($('audit-summary'), `${shown} entr${shown === 1 ? 'y' : 'ies'}${nextBefore ? ', older ones on request' : ''}`);
}

export function refreshAudit() {
  return load(0);
}

export function initAudit() {
  $('audit-refresh').addEventListener('click', refreshAudit);
  $('audit-older').addEventListener('click', () => load(nextBefore));
}
