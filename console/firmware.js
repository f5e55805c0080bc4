// Firmware files: one row per slot with the path on the site machine and the target version;
// inspection fills in size, chunk count and SHA-256, or shows the refusal beside the file it names.

import { api } from './api.js';
import { $, el, setText, clear, formatBytes, refusalText } from './dom.js';
import { kSlots, notify } from './state.js';

const rows = [];  // { slot, path, version, size, chunks, sha, problem, tr }

export function fileRows() {
  return rows;
}

// The row an API message names: "files[<i>]" indexes the files that were sent, otherwise the
// row whose path the message quotes.
export function rowNamedBy(message, sentRows) {
  const indexed = /\bfiles\[(\d+)\]/.exec(message);
  if (indexed) {
    return sentRows[Number(indexed[1])] || null;
  }
  return sentRows.find((row) => row.path.value.trim() !== '' && message.includes(row.path.value.trim())) || null;
}

export function clearFileProblems() {
  for (const row of rows) {
    setText(row.problem, '');
    row.tr.classList.remove('refused');
  }
}

export function showFileProblem(row, error) {
  setText(row.problem, refusalText(error));
  row.tr.classList.add('refused');
}

function addRow(slot = '', path = '', version = '') {
  const slotSelect = el('select', { 'aria-label': 'Firmware slot' },
    ...kSlots.map((key) => el('option', { value: key, text: key })));
  const used = new Set(rows.map((row) => row.slot.value));
  slotSelect.value = slot || kSlots.find((key) => !used.has(key)) || kSlots[0];
  const pathInput = el('input', { type: 'text', value: path, 'aria-label': 'File path', spellcheck: 'false', autocomplete: 'off' });
  const versionInput = el('input', { type: 'text', value: version, size: 10, 'aria-label': 'Target version', spellcheck: 'false', autocomplete: 'off' });
  const problem = el('div', { class: 'field-problem', role: 'alert' });
  const size = el('td', { class: 'num' });
  const chunks = el('td', { class: 'num' });
  const sha = el('td', { class: 'mono' });
  const row = { slot: slotSelect, path: pathInput, version: versionInput, size, chunks, sha, problem };
  const remove = el('button', { type: 'button', class: 'plain', text: 'Remove', 'aria-label': 'Remove this file' });
  row.tr = el('tr', {}, el('td', {}, slotSelect), el('td', {}, pathInput, problem), el('td', {}, versionInput),
    size, chunks, sha, el('td', {}, remove));
  const changed = () => {
    setText(size, '');
    setText(chunks, '');
    setText(sha, '');
    notify('files');
  };
  for (const input of [slotSelect, pathInput, versionInput]) {
    input.addEventListener('change', changed);
  }
  remove.addEventListener('click', () => {
    rows.splice(rows.indexOf(row), 1);
    row.tr.remove();
    notify('files');
  });
  rows.push(row);
  $('file-rows').append(row.tr);
  return row;
}

export function fileRequest(row) {
  return { fileSlotKey: row.slot.value, filePath: row.path.value.trim(), targetVersion: row.version.value.trim() };
}

async function inspect() {
  clearFileProblems();
  setText($('inspect-error'), '');
  const sent = rows.filter((row) => row.path.value.trim() !== '');
  if (sent.length === 0) {
    setText($('inspect-error'), 'Enter the path of at least one file.');
    return;
  }
  setText($('inspect-summary'), 'Inspecting…');
  const answer = await api.inspect(sent.map(fileRequest));
  if (!answer.ok) {
    setText($('inspect-summary'), '');
    setText($('inspect-error'), refusalText(answer.error));
    const row = rowNamedBy(answer.error.message, sent);
    if (row) {
      showFileProblem(row, answer.error);
    }
    return;
  }
  const files = answer.data.files || [];
  files.forEach((file, index) => {
    const row = sent[index];
    if (!row) {
      return;
    }
    setText(row.size, `${formatBytes(file.fileSize)} (${file.fileSize})`);
    setText(row.chunks, `${file.totalChunks} × ${file.chunkSize}`);
    setText(row.sha, file.sha256);
    row.tr.dataset.sha256 = file.sha256;
  });
  setText($('inspect-summary'), `${files.length} file${files.length === 1 ? '' : 's'} inspected, chunk size ${answer.data.chunkSize}`);
}

export function initFirmware() {
  addRow();
  $('add-file').addEventListener('click', () => {
    addRow().path.focus();
  });
  $('inspect').addEventListener('click', inspect);
}

// Puts a path (a stored file's) into the first row without a path, or a new row, and focuses the
// row's slot so the operator picks it; the version fills an empty version field.
export function useFilePath(path, version) {
  const row = rows.find((candidate) => candidate.path.value.trim() === '') || addRow();
  row.path.value = path;
  if (version && row.version.value.trim() === '') {
    row.version.value = version;
  }
  row.path.dispatchEvent(new Event('change'));
  row.slot.focus();
}

export function clearFiles() {
  rows.splice(0);
  clear($('file-rows'));
}
