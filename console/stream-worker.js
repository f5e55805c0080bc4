// The event stream, off the page's main thread. A device status document of a large site is a
// megabyte of JSON sent whenever any device changes; parsing it here and handing the page only the
// devices that changed keeps the page responsive. Reconnects by itself and reports the link.

'use strict';

const kMinDelayMs = 500;
const kMaxDelayMs = 5000;
const kWholeTaskEventEnd = '"type":"upgrade.current"}';
let url = '';
let delay = kMinDelayMs;
let socket = null;
let retryTimer = null;
// nodeId -> the fields of a device that the page shows, as last handed to the page.
let shown = new Map();

function now() {
  return performance.timeOrigin + performance.now();
}

function deviceSignature(node) {
  let text = `${node.connectionState}|${node.upgradeState}|${node.lastError}|${node.receivedFrameCount}|` +
    `${node.sentFrameCount}|${node.nodeName}`;
  for (const component of node.components || []) {
    text += `|${component.typeId}:${component.index}:${component.version}`;
  }
  return text;
}

// The devices that changed since the last document, with the document's summary.
function deviceDelta(data) {
  const nodes = Array.isArray(data.communicationNodes) ? data.communicationNodes : [];
  const next = new Map();
  const changed = [];
  for (const node of nodes) {
    const signature = deviceSignature(node);
    next.set(node.nodeId, signature);
    if (shown.get(node.nodeId) !== signature) {
      changed.push(node);
    }
  }
  const complete = next.size !== shown.size || [...shown.keys()].some((id) => !next.has(id));
  shown = next;
  return {
    sceneGeneration: data.sceneGeneration,
    connectedNodeCount: data.connectedNodeCount,
    communicationNodeCount: data.communicationNodeCount,
    communicationNodes: complete ? nodes : changed,
    complete,
  };
}

function connect() {
  let current;
  try {
    current = new WebSocket(url);
  } catch {
    retry();
    return;
  }
  socket = current;
  current.onopen = () => {
    delay = kMinDelayMs;
    shown = new Map();  // the page reads everything again: the next document goes whole
    postMessage({ kind: 'link', up: true });
  };
  current.onmessage = (message) => {
    const receivedAt = now();
    // The whole task document (a megabyte on a large site) is not parsed: the page follows the
    // task through "upgrade.devices", which carries only what changed.
    if (typeof message.data === 'string' && message.data.endsWith(kWholeTaskEventEnd)) {
      return;
    }
    let envelope;
    try {
      envelope = JSON.parse(message.data);
    } catch {
      return;
    }
    if (!envelope || typeof envelope.type !== 'string' || !envelope.data) {
      return;
    }
    const data = envelope.type === 'device.status' ? deviceDelta(envelope.data) : envelope.data;
    postMessage({ kind: 'event', type: envelope.type, sequence: envelope.sequence, data, receivedAt, parsedAt: now() });
  };
  current.onerror = () => current.close();
  current.onclose = () => {
    if (socket !== current) {
      return;
    }
    socket = null;
    postMessage({ kind: 'link', up: false });
    retry();
  };
}

function retry() {
  const wait = delay;
  delay = Math.min(delay * 2, kMaxDelayMs);
  retryTimer = setTimeout(() => {
    retryTimer = null;
    connect();
  }, wait);
}

onmessage = (message) => {
  if (message.data && message.data.kind === 'connect' && !socket) {
    url = message.data.url;
    connect();
  } else if (message.data && message.data.kind === 'reconnect' && !socket && retryTimer !== null) {
    clearTimeout(retryTimer);
    retryTimer = null;
    delay = kMinDelayMs;
    connect();
  }
};
