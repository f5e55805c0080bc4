// The backend's event stream, run by a worker (stream-worker.js) that parses the events off the
// main thread, reconnects by itself (the backend may restart under it) and reports the link.
// Device status events arrive as the devices that changed (all of them after a reconnect).

export class EventStream {
  constructor(onEvent, onLink) {
    this.onEvent = onEvent;
    this.onLink = onLink;
  }

  connect() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const worker = new Worker('/console/stream-worker.js');
    worker.onmessage = (message) => {
      const report = message.data;
      if (report.kind === 'link') {
        this.onLink(report.up);
      } else if (report.kind === 'event') {
        // Worker times are on the wall clock; the page's own clock starts at timeOrigin.
        this.onEvent({ type: report.type, sequence: report.sequence, data: report.data },
          report.receivedAt - performance.timeOrigin, report.parsedAt - performance.timeOrigin);
      }
    };
    worker.postMessage({ kind: 'connect', url: `${scheme}://${location.host}/api/v1/events` });
    this.worker = worker;
  }

  // After a login: the stream refused without a session, so it need not wait for its next try.
  reconnectNow() {
    if (this.worker) {
      this.worker.postMessage({ kind: 'reconnect' });
    }
  }
}
