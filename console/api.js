// The public API of the backend, and nothing else: every call answers the envelope's data, or the
// envelope's error (code and message) when the backend refused.

// Told when the backend answers that the operator must log in (login.js asks for the token).
let unauthorized = null;
export function setUnauthorizedHandler(handler) {
  unauthorized = handler;
}

export async function call(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers['Content-Type'] = 'application/json';
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (failure) {
    return { ok: false, status: 0, error: { code: 'BACKEND_UNREACHABLE', message: `The backend cannot be reached (${failure.message})` } };
  }
  let envelope = null;
  try {
    envelope = await response.json();
  } catch {
    envelope = null;
  }
  if (envelope && envelope.success === true) {
    return { ok: true, status: response.status, data: envelope.data };
  }
  if (envelope && envelope.error) {
    if (response.status === 401 && envelope.error.code === 'UNAUTHORIZED' && path !== kSessionPath && unauthorized) {
      unauthorized();
    }
    return { ok: false, status: response.status, error: envelope.error };
  }
  return { ok: false, status: response.status, error: { code: `HTTP_${response.status}`, message: 'The backend sent no API answer' } };
}

const kSessionPath = '/api/v1/session';

// The baseline report as a spreadsheet: the console links to it rather than fetching it.
export const kBaselineCsvPath = '/api/v1/baseline/report?format=csv';

export const api = {
  health: () => call('GET', '/api/v1/health'),
  workspace: () => call('GET', '/api/v1/workspace'),
  inspect: (files) => call('POST', '/api/v1/firmware/inspect', { files }),
  preview: (request) => call('POST', '/api/v1/upgrades/preview', request),
  start: () => call('POST', '/api/v1/upgrades/start'),
  abort: (upgradeNo) => call('POST', `/api/v1/upgrades/${encodeURIComponent(String(upgradeNo))}/abort`),
  current: () => call('GET', '/api/v1/upgrades/current'),
  history: () => call('GET', '/api/v1/upgrades/history'),
  // One page of the history, newest first: at most `limit` records numbered below `before`
  // (0 or absent: the newest); the answer's nextBefore asks for the next page (0: none).
  historyPage: (limit, before) => call('GET', `/api/v1/upgrades/history?limit=${limit}` +
    (before ? `&before=${encodeURIComponent(String(before))}` : '')),
  retry: (upgradeNo, upgradeId) => call('POST', `/api/v1/upgrades/${encodeURIComponent(String(upgradeNo))}/retry`,
    { upgradeId }),
  rollouts: () => call('GET', '/api/v1/rollouts'),
  currentRollout: () => call('GET', '/api/v1/rollouts/current'),
  createRollout: (request) => call('POST', '/api/v1/rollouts', request),
  // operation: start, pause, resume or cancel.
  operateRollout: (rolloutNo, operation) =>
    call('POST', `/api/v1/rollouts/${encodeURIComponent(String(rolloutNo))}/${operation}`),
  clearHistory: () => call('POST', '/api/v1/upgrades/history/clear'),
  deviceStatus: () => call('GET', '/api/v1/devices/status'),
  frames: () => call('GET', '/api/v1/devices/frames'),
  capture: (enabled) => call('POST', '/api/v1/devices/frames/capture', { enabled }),
  statusQuery: () => call('POST', '/api/v1/devices/status-query'),
  reconnect: () => call('POST', '/api/v1/devices/reconnect'),
  login: (token) => call('POST', kSessionPath, { token }),
  loginAs: (user, password) => call('POST', kSessionPath, { user, password }),
  // Who the session or token acts for: {user, role, authenticatedBy}.
  session: () => call('GET', kSessionPath),
  logout: () => call('POST', `${kSessionPath}/logout`),
  siteHolds: () => call('GET', '/api/v1/site/holds'),
  releaseSiteHold: (source) => call('POST', `/api/v1/site/holds/${encodeURIComponent(source)}/release`),
  firmwareStore: (limit, before) => call('GET', `/api/v1/firmware/store?limit=${limit}` +
    (before ? `&before=${encodeURIComponent(String(before))}` : '')),
  baseline: () => call('GET', '/api/v1/baseline'),
  // body: {from: 'site', allowMissing?} or {baselineNo} (reinstates an earlier one), with an optional note.
  setBaseline: (body) => call('POST', '/api/v1/baseline', body),
  baselineList: (limit, before) => call('GET', `/api/v1/baseline/list?limit=${limit}` +
    (before ? `&before=${encodeURIComponent(String(before))}` : '')),
  baselineReport: () => call('GET', '/api/v1/baseline/report'),
  converge: (request) => call('POST', '/api/v1/rollouts/converge', request),
  approvals: () => call('GET', '/api/v1/approvals'),
  approveRollout: (rolloutNo, planDigest) =>
    call('POST', `/api/v1/rollouts/${encodeURIComponent(String(rolloutNo))}/approve`, { planDigest }),
  rejectRollout: (rolloutNo, reason) =>
    call('POST', `/api/v1/rollouts/${encodeURIComponent(String(rolloutNo))}/reject`, { reason }),
  approvePreview: (snapshotDigest) => call('POST', '/api/v1/upgrades/preview/approve', { snapshotDigest }),
  audit: (before) => call('GET', `/api/v1/audit?limit=100${before ? `&before=${before}` : ''}`),
};
