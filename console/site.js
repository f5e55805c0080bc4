// The site tree: groups and containers from the topology, devices with their connection and
// upgrade state and the component versions they reported, each component with a tick box for
// the plan. Rows are kept in a map by node id; a status event touches only the rows that changed.

import { api } from './api.js';
import { $, el, setText, setData, clear, refusalText } from './dom.js';
import { scheduleDraw } from './schedule.js';
import { state, componentKey, notify } from './state.js';

const rows = new Map();  // nodeId -> { root, state, upgrade, components, signature, componentsSignature }
let pendingNodes = new Map();  // nodeId -> newest status not drawn yet
let pendingSummary = null;
let filterType = '';
let filterVersion = '';

function isCommunicationNode(node, types) {
  const type = types.get(node.typeId);
  return type ? type.role === 'COMMUNICATION_NODE' || (type.capabilities && type.capabilities.supportsCommunication) : node.protocolAdapterId !== '';
}

export function buildTree(topology) {
  const tree = $('tree');
  clear(tree);
  rows.clear();
  if (!topology || !Array.isArray(topology.nodes)) {
    tree.append(el('p', { class: 'hint', text: 'No topology is configured.' }));
    return;
  }
  const types = new Map();
  for (const type of (topology.sceneProfile && topology.sceneProfile.nodeTypes) || []) {
    types.set(type.id, type);
  }
  const containers = new Map();
  const byId = new Map(topology.nodes.map((node) => [node.id, node]));
  const holderOf = (node) => {
    const parent = byId.get(node.parentId);
    if (!parent || isCommunicationNode(parent, types)) {
      return tree;
    }
    return containerFor(parent);
  };
  const containerFor = (node) => {
    let entry = containers.get(node.id);
    if (!entry) {
      const type = types.get(node.typeId);
      const children = el('div', { class: 'children' });
      const details = el('details', { open: true, dataset: { nodeId: node.id } },
        el('summary', {}, node.name, el('span', { class: 'summary', text: `  ${type ? type.displayName : node.typeId}` })),
        children);
      entry = { details, children };
      containers.set(node.id, entry);
      const holder = holderOf(node);
      (holder === tree ? tree : holder).append(details);
    }
    return entry.children;
  };
  for (const node of topology.nodes) {
    if (!isCommunicationNode(node, types)) {
      containerFor(node);
      continue;
    }
    const row = createDeviceRow(node);
    rows.set(node.id, row);
    holderOf(node).append(row.root);
  }
  for (const status of state.devices.values()) {
    updateRow(status);
  }
  applyFilter();
}

function createDeviceRow(node) {
  const connection = el('span', { class: 'badge', text: 'PENDING', dataset: { state: 'PENDING' } });
  const upgrade = el('span', { class: 'badge', text: '—' });
  const components = el('ul', { class: 'components', 'aria-label': `Components of ${node.name}` });
  const root = el('div', { class: 'device', dataset: { nodeId: node.id, type: String(node.protocolNodeType || '').toUpperCase() } },
    el('div', {}, el('div', { class: 'name', text: node.name }),
      el('div', { class: 'meta', text: `${node.id} · ${node.protocolNodeType} · ${node.address}:${node.port}` })),
    el('div', {}, connection),
    el('div', {}, upgrade),
    components);
  return { root, connection, upgrade, components, signature: '', componentsSignature: '', inputs: new Map() };
}

function updateRow(status) {
  const row = rows.get(status.nodeId);
  if (!row) {
    return false;
  }
  const components = Array.isArray(status.components) ? status.components : [];
  const versions = components.map((c) => `${c.typeId}:${c.index}:${c.version}`).join('|');
  const signature = `${status.connectionState}|${status.upgradeState}|${versions}`;
  if (signature === row.signature) {
    return false;
  }
  row.signature = signature;
  setText(row.connection, status.connectionState);
  setData(row.connection, 'state', status.connectionState);
  setText(row.upgrade, status.upgradeState || '—');
  setData(row.upgrade, 'state', status.upgradeState || '');
  const layout = components.map((c) => `${c.typeId}:${c.index}`).join('|');
  if (layout !== row.componentsSignature) {
    row.componentsSignature = layout;
    clear(row.components);
    row.inputs.clear();
    for (const component of components) {
      const key = componentKey(status.nodeId, component.typeId, component.index);
      const box = el('input', { type: 'checkbox', dataset: { key } });
      box.checked = state.ticked.has(key);
      box.addEventListener('change', () => tick(key, status.nodeId, component, box.checked));
      const version = el('span', { class: 'version', text: component.version });
      const item = el('li', { dataset: { typeId: component.typeId, version: component.version } },
        el('label', {}, box, ` ${component.typeId} #${component.index} `, version));
      row.inputs.set(key, { box, version, item });
      row.components.append(item);
    }
  } else {
    for (const component of components) {
      const entry = row.inputs.get(componentKey(status.nodeId, component.typeId, component.index));
      if (entry) {
        setText(entry.version, component.version);
        setData(entry.item, 'version', component.version);
      }
    }
  }
  applyFilterTo(row);
  return true;
}

function tick(key, nodeId, component, checked) {
  if (checked) {
    state.ticked.set(key, { nodeId, typeId: component.typeId, index: component.index });
  } else {
    state.ticked.delete(key);
  }
  setText($('tick-count'), `${state.ticked.size} component${state.ticked.size === 1 ? '' : 's'} ticked`);
  notify('ticks');
}

function applyFilterTo(row) {
  const typeShown = !filterType || row.root.dataset.type === filterType;
  let anyShown = false;
  for (const { item } of row.inputs.values()) {
    const shown = typeShown && (!filterVersion || item.dataset.version === filterVersion);
    item.hidden = !shown;
    anyShown ||= shown;
  }
  row.root.hidden = !typeShown || (filterVersion !== '' && !anyShown);
}

function applyFilter() {
  for (const row of rows.values()) {
    applyFilterTo(row);
  }
}

// Device status (whole documents, or the devices that changed) is merged and applied at the next
// frame: a burst costs one pass over the devices it touched.
export function onDeviceStatus(data) {
  if (!Array.isArray(data.communicationNodes)) {
    return;
  }
  for (const node of data.communicationNodes) {
    pendingNodes.set(node.nodeId, node);
  }
  pendingSummary = data;
  scheduleDraw('site', drawStatus);
}

function drawStatus() {
  const nodes = pendingNodes;
  const summary = pendingSummary;
  pendingNodes = new Map();
  pendingSummary = null;
  let versionsChanged = false;
  for (const node of nodes.values()) {
    state.devices.set(node.nodeId, node);
    versionsChanged = updateRow(node) || versionsChanged;
  }
  if (summary) {
    setText($('health-devices'), `${summary.connectedNodeCount} / ${summary.communicationNodeCount}`);
  }
  if (versionsChanged) {
    notify('devices');
  }
}

function showSummary(text) {
  setText($('site-summary'), text);
}

export function initSite() {
  $('filter-type').addEventListener('change', (event) => {
    filterType = event.target.value;
    applyFilter();
  });
  $('filter-version').addEventListener('input', (event) => {
    filterVersion = event.target.value.trim();
    applyFilter();
  });
  $('tick-shown').addEventListener('click', () => {
    for (const row of rows.values()) {
      if (row.root.hidden) {
        continue;
      }
      for (const [key, entry] of row.inputs) {
        if (!entry.item.hidden && !entry.box.checked) {
          entry.box.checked = true;
          const [nodeId, typeId, index] = key.split('\u0000');
          state.ticked.set(key, { nodeId, typeId, index: Number(index) });
        }
      }
    }
    setText($('tick-count'), `${state.ticked.size} components ticked`);
    notify('ticks');
  });
  $('untick-all').addEventListener('click', () => {
    state.ticked.clear();
    for (const row of rows.values()) {
      for (const entry of row.inputs.values()) {
        entry.box.checked = false;
      }
    }
    setText($('tick-count'), '0 components ticked');
    notify('ticks');
  });
  $('status-query').addEventListener('click', async () => {
    showSummary('Querying…');
    setText($('site-error'), '');
    const answer = await api.statusQuery();
    const summary = answer.ok ? answer.data : answer.error.details;
    if (summary) {
      showSummary(`Status query: configured ${summary.configuredCount}, submitted ${summary.submittedCount}, ` +
        `skipped ${summary.skippedCount}, failed ${summary.failedCount}`);
    } else {
      showSummary('');
    }
    if (!answer.ok) {
      const errors = (summary && summary.errors) || [];
      setText($('site-error'), [refusalText(answer.error),
        ...errors.map((e) => `${e.nodeName || e.nodeId || '—'}: ${e.code} ${e.message}`)].join(' · '));
    }
  });
  $('reconnect').addEventListener('click', async () => {
    showSummary('Reconnecting…');
    setText($('site-error'), '');
    const answer = await api.reconnect();
    if (answer.ok) {
      const r = answer.data;
      showSummary(`Reconnect ${r.status}: configured ${r.configuredCount}, submitted ${r.submittedCount}, ` +
        `already connected ${r.skippedConnectedCount}, connecting ${r.skippedConnectingCount}, ` +
        `unavailable ${r.skippedUnavailableCount}`);
    } else {
      showSummary('');
      setText($('site-error'), refusalText(answer.error));
    }
  });
}
