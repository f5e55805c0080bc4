// The header's site-hold banner: while the plant holds the site, every hold with its source, reason
// and lease end, and a Release button for each hold the API may lift (the hold file's hold goes only
// with its file). The holds are read at start and after the event stream came back, then followed
// by their events.

import { needsRole } from './roles.js';
import { api } from './api.js';
import { $, el, setText, clear, formatTime, refusalText } from './dom.js';
import { scheduleDraw } from './schedule.js';

// The hold file's source: its hold cannot be released through the API.
const kFileSource = 'file';

let confirmAction = null;
let pending = null;
// Counts the documents shown, so a read answered after a newer event does not undo it.
let shownCount = 0;

export function onHoldsDocument(holds) {
  shownCount += 1;
  pending = holds;
  scheduleDraw('holds', draw);
}

export async function refreshHolds() {
  const before = shownCount;
  const answer = await api.siteHolds();
  if (before !== shownCount) {
    return;
  }
  if (answer.ok) {
    onHoldsDocument(answer.data);
  } else if (answer.status === 404) {
    // A backend without site holds: nothing holds the site.
    onHoldsDocument({ held: false, holds: [] });
  }
}

function holdItem(hold) {
  const until = hold.expiresAt ? el('span', { class: 'hold-until', text: `until ${formatTime(hold.expiresAt)}` }) : null;
  const action = hold.source === kFileSource
    ? el('span', { class: 'hint', text: '(lifted by removing the hold file)' })
    : el('button', { type: 'button', class: 'plain hold-release', onclick: (event) => release(hold, event.currentTarget),
      dataset: needsRole('operator', 'release a hold') },
      'Release');
  return el('li', { dataset: { source: hold.source } },
    el('span', { class: 'hold-text', text: `${hold.source}: ${hold.reason}` }), until, action);
}

function draw() {
  const current = pending;
  pending = null;
  if (!current) {
    return;
  }
  const banner = $('hold-banner');
  const holds = current.held === true && Array.isArray(current.holds) ? current.holds : [];
  clear($('hold-list'));
  $('hold-list').append(...holds.map(holdItem));
  if (holds.length === 0) {
    setText($('hold-error'), '');
  }
  banner.hidden = holds.length === 0;
}

async function release(hold, button) {
  const asked = await confirmAction(`Release the hold of ${hold.source} (${hold.reason})? ` +
    'Upgrades and rollouts may start again once no hold is left.');
  if (!asked) {
    return;
  }
  button.disabled = true;
  const answer = await api.releaseSiteHold(hold.source);
  button.disabled = false;
  if (!answer.ok) {
    setText($('hold-error'), refusalText(answer.error));
    return;
  }
  setText($('hold-error'), '');
  onHoldsDocument(answer.data);
}

export function initHolds(confirm) {
  confirmAction = confirm;
}
