// The firmware store on the Firmware tab: files uploaded from the operator's own machine (picker or
// drag and drop, with the upload's progress), the stored entries, and "Use", which puts an entry's
// store path into a slot's row so inspection and preview read the stored copy.

import { api } from './api.js';
import { $, el, setText, clear, formatBytes, formatTime, refusalText, bar, setBar } from './dom.js';
import { useFilePath } from './firmware.js';

const kPageSize = 50;
let nextBefore = 0;
let uploading = false;

function signatureText(signature) {
  // null: no trusted keys are configured, so nothing judged the file.
  if (!signature) {
    return 'not checked';
  }
  return signature.verified ? 'verified' : 'not verified';
}

function labelsText(labels) {
  return (labels || []).map((label) => `${label.componentTypeId} ${label.version}`).join(', ');
}

function entryRow(entry) {
  const use = el('button', { type: 'button', class: 'plain', text: 'Use', 'aria-label': `Use ${entry.name}` });
  use.addEventListener('click', () => {
    const labels = entry.labels || [];
    useFilePath(entry.path, labels.length === 1 ? labels[0].version : '');
  });
  return el('tr', { dataset: { sha256: entry.sha256 } },
    el('td', { text: entry.name }),
    el('td', { class: 'num', text: formatBytes(entry.size) }),
    el('td', { class: 'mono', text: entry.sha256 }),
    el('td', { text: signatureText(entry.signature) }),
    el('td', { text: labelsText(entry.labels) }),
    el('td', { text: formatTime(entry.lastUsedAt) }),
    el('td', {}, use));
}

async function loadPage(before) {
  const answer = await api.firmwareStore(kPageSize, before);
  if (!answer.ok) {
    setText($('store-error'), refusalText(answer.error));
    return;
  }
  setText($('store-error'), '');
  if (!before) {
    clear($('store-rows'));
  }
  for (const entry of answer.data.entries || []) {
    $('store-rows').append(entryRow(entry));
  }
  nextBefore = answer.data.nextBefore || 0;
  $('store-more').hidden = nextBefore === 0;
  setText($('store-summary'), `${$('store-rows').children.length} stored file(s)${nextBefore ? ', more below' : ''}`);
}

export function refreshFirmwareStore() {
  return loadPage(0);
}

// fetch() reports no upload progress: the request goes through XMLHttpRequest. The body is the
// file itself, which the browser streams from disk.
function upload(file) {
  return new Promise((resolve) => {
    const request = new XMLHttpRequest();
    request.open('POST', `/api/v1/firmware/store?name=${encodeURIComponent(file.name)}`);
    request.setRequestHeader('Content-Type', 'application/octet-stream');
    request.upload.onprogress = (event) => {
      if (event.lengthComputable && event.total > 0) {
        setBar($('store-progress').firstChild, Math.floor((event.loaded * 100) / event.total));
      }
    };
    request.onload = () => {
      let envelope = null;
      try {
        envelope = JSON.parse(request.responseText);
      } catch {
        envelope = null;
      }
      if (envelope && envelope.success === true) {
        resolve({ ok: true, data: envelope.data });
      } else if (envelope && envelope.error) {
        resolve({ ok: false, error: envelope.error });
      } else {
        resolve({ ok: false, error: { code: `HTTP_${request.status}`, message: 'The backend sent no API answer' } });
      }
    };
    request.onerror = () => resolve({ ok: false, error: { code: 'BACKEND_UNREACHABLE', message: 'The upload did not reach the backend' } });
    request.send(file);
  });
}

async function uploadFiles(files) {
  if (uploading || files.length === 0) {
    return;
  }
  uploading = true;
  $('store-pick').disabled = true;
  setText($('store-error'), '');
  try {
    for (const file of files) {
      $('store-progress').hidden = false;
      setBar($('store-progress').firstChild, 0);
      setText($('store-upload-status'), `Uploading ${file.name} (${formatBytes(file.size)})…`);
      const answer = await upload(file);
      if (!answer.ok) {
        setText($('store-upload-status'), '');
        setText($('store-error'), `${file.name}: ${refusalText(answer.error)}`);
        break;
      }
      setBar($('store-progress').firstChild, 100);
      setText($('store-upload-status'), `Stored ${answer.data.name}: ${answer.data.sha256}`);
    }
  } finally {
    uploading = false;
    $('store-pick').disabled = false;
    $('store-file').value = '';
    await refreshFirmwareStore();
  }
}

export function initFirmwareStore() {
  $('store-progress').append(bar('Upload progress'));
  $('store-pick').addEventListener('click', () => $('store-file').click());
  $('store-file').addEventListener('change', () => uploadFiles([...$('store-file').files]));
  const zone = $('store-drop');
  zone.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('dragging');
  });
  zone.addEventListener('dragleave', () => zone.classList.remove('dragging'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('dragging');
    uploadFiles([...(event.dataTransfer ? event.dataTransfer.files : [])]);
  });
  $('store-more').addEventListener('click', () => loadPage(nextBefore));
  $('store-refresh').addEventListener('click', refreshFirmwareStore);
}
