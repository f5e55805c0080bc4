// Coalesces redraws: however many events arrive between two frames, each view draws once.

const pending = new Map();
let requested = false;
const afterDraw = [];

export function scheduleDraw(key, draw) {
  pending.set(key, draw);
  if (!requested) {
    requested = true;
    requestAnimationFrame(flush);
  }
}

// Called once after the next frame's draws, with the time they began (the benchmark's clock
// stops there).
export function onNextDrawn(callback) {
  afterDraw.push(callback);
}

function flush() {
  const startedAt = performance.now();
  requested = false;
  const draws = [...pending.values()];
  pending.clear();
  for (const draw of draws) {
    try {
      draw();
    } catch (failure) {
      console.error(failure);
    }
  }
  const callbacks = afterDraw.splice(0);
  for (const callback of callbacks) {
    callback(startedAt);
  }
}
