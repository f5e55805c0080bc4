// Frame capture: the switch, the communication view of every device and the last frames of the
// chosen device. Drawn only while the panel is shown; the trace view keeps a bounded number of rows.

import { api } from './api.js';
import { $, el, setText, setData, clear, refusalText } from './dom.js';
import { scheduleDraw } from './schedule.js';

const kShownRecords = 200;

let devices = new Map();  // deviceId -> communication view of the device
let records = [];   // at most the backend's 1,000 trace records, oldest first
let enabled = false;
let dirty = true;
const commRows = new Map();

function fromStatusNode(node) {
  return {
    deviceId: node.nodeId, deviceName: node.nodeName,
    deviceType: ['EMU', 'PCS', 'BMS'].includes(node.protocolNodeType) ? node.protocolNodeType : 'UNKNOWN',
    ip: node.address, port: node.port, connectionState: node.connectionState,
    receivedFrameCount: node.receivedFrameCount, sentFrameCount: node.sentFrameCount, lastError: node.lastError,
  };
}

function panelShown() {
  return !$('panel-frames').hidden;
}

function markDirty() {
  dirty = true;
  if (panelShown()) {
    scheduleDraw('frames', draw);
  }
}

// Device status events keep the communication view current while no snapshot arrives (capture off).
export function framesOnDeviceStatus(data) {
  if (!enabled && Array.isArray(data.communicationNodes)) {
    for (const node of data.communicationNodes) {
      devices.set(node.nodeId, fromStatusNode(node));
    }
    markDirty();
  }
}

export function onCommunicationSnapshot(data) {
  if (Array.isArray(data.devices)) {
    devices = new Map(data.devices.map((device) => [device.deviceId, device]));
  }
  if (Array.isArray(data.records)) {
    records = data.records.slice(-1000);
  }
  markDirty();
}

function draw() {
  dirty = false;
  $('capture').checked = enabled;
  const select = $('trace-device');
  const chosen = select.value;
  const known = new Set([...select.options].map((option) => option.value));
  for (const device of devices.values()) {
    if (!known.has(device.deviceId)) {
      select.append(el('option', { value: device.deviceId, text: device.deviceName }));
    }
    let row = commRows.get(device.deviceId);
    if (!row) {
      row = { state: el('span', { class: 'badge' }), frames: el('td', { class: 'num' }), error: el('td'),
        type: el('td'), address: el('td'), name: el('td') };
      row.tr = el('tr', {}, row.name, row.type, row.address, el('td', {}, row.state), row.frames, row.error);
      commRows.set(device.deviceId, row);
      $('comm-rows').append(row.tr);
    }
    setText(row.name, device.deviceName);
    setText(row.type, device.deviceType);
    setText(row.address, `${device.ip}:${device.port}`);
    setText(row.state, device.connectionState);
    setData(row.state, 'state', device.connectionState);
    setText(row.frames, `${device.receivedFrameCount} / ${device.sentFrameCount}`);
    setText(row.error, device.lastError || '');
  }
  const shown = [];
  for (let index = records.length - 1; index >= 0 && shown.length < kShownRecords; --index) {
    if (!chosen || records[index].deviceId === chosen) {
      shown.push(records[index]);
    }
  }
  const body = $('trace-rows');
  clear(body);
  for (const record of shown) {
    body.append(el('tr', { dataset: { direction: record.direction } },
      el('td', { text: new Date(record.timestamp).toLocaleTimeString() }),
      el('td', { text: record.direction }),
      el('td', { text: record.deviceName }),
      el('td', { text: record.messageType }),
      el('td', { class: 'num', text: record.upgradeNo }),
      el('td', { class: 'num', text: record.frameLength }),
      el('td', { class: 'mono', text: record.errorSummary || record.hexText })));
  }
  setText($('trace-count'), `(newest first, ${shown.length} of ${records.length} shown)`);
  setText($('frames-summary'), enabled ? 'Capturing frames' : 'Capture is off');
}

export async function refreshFrames() {
  const answer = await api.frames();
  if (answer.ok) {
    enabled = answer.data.enabled === true;
    records = (answer.data.records || []).slice(-1000);
    markDirty();
  }
}

export function framesShown() {
  if (dirty) {
    draw();
  }
}

export function initFrames() {
  $('capture').addEventListener('change', async (event) => {
    const wanted = event.target.checked;
    setText($('frames-error'), '');
    const answer = await api.capture(wanted);
    if (!answer.ok) {
      event.target.checked = enabled;
      setText($('frames-error'), refusalText(answer.error));
      return;
    }
    enabled = answer.data.enabled === true;
    if (!enabled) {
      records = [];
    }
    markDirty();
  });
  $('trace-device').addEventListener('change', () => draw());
}
