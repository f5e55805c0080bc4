// The backend's event stream. It reconnects by itself (the backend may restart under it) and
// tells its listener whenever the link goes up or down.

const kMinDelayMs = 500;
const kMaxDelayMs = 5000;

export class EventStream {
  constructor(onEvent, onLink) {
    this.onEvent = onEvent;
    this.onLink = onLink;
    this.delay = kMinDelayMs;
    this.socket = null;
  }

  connect() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    let socket;
    try {
      socket = new WebSocket(`${scheme}://${location.host}/api/v1/events`);
    } catch {
      this.retry();
      return;
    }
    this.socket = socket;
    socket.onopen = () => {
      this.delay = kMinDelayMs;
      this.onLink(true);
    };
    socket.onmessage = (message) => {
      const receivedAt = performance.now();
      let envelope;
      try {
        envelope = JSON.parse(message.data);
      } catch {
        return;
      }
      if (envelope && typeof envelope.type === 'string') {
        this.onEvent(envelope, receivedAt);
      }
    };
    socket.onerror = () => socket.close();
    socket.onclose = () => {
      if (this.socket !== socket) {
        return;
      }
      this.socket = null;
      this.onLink(false);
      this.retry();
    };
  }

  retry() {
    const delay = this.delay;
    this.delay = Math.min(this.delay * 2, kMaxDelayMs);
    setTimeout(() => this.connect(), delay);
  }
}
