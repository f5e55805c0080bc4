// Small DOM helpers. Text always goes in through textContent or text nodes, never as markup:
// device names, stage texts and file paths come from files and devices.

export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) {
      continue;
    }
    if (key === 'class') {
      node.className = value;
    } else if (key === 'text') {
      node.textContent = value;
    } else if (key === 'dataset') {
      Object.assign(node.dataset, value);
    } else if (key.startsWith('on') && typeof value === 'function') {
      node.addEventListener(key.slice(2), value);
    } else if (value === true) {
      node.setAttribute(key, '');
    } else {
      node.setAttribute(key, String(value));
    }
  }
  for (const child of children) {
    if (child !== undefined && child !== null && child !== false) {
      node.append(child);
    }
  }
  return node;
}

export function $(id) {
  return document.getElementById(id);
}

// Writes only on change, so an unchanged row costs no style or layout work.
export function setText(node, text) {
  const value = String(text);
  if (node.textContent !== value) {
    node.textContent = value;
  }
}

export function setData(node, key, value) {
  if (node.dataset[key] !== value) {
    node.dataset[key] = value;
  }
}

export function formatTime(ms) {
  if (!ms) {
    return '—';
  }
  const date = new Date(ms);
  const pad = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ` +
    `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
}

export function formatBytes(bytes) {
  if (bytes >= 1024 * 1024) {
    return `${(bytes / (1024 * 1024)).toFixed(1)} MiB`;
  }
  if (bytes >= 1024) {
    return `${(bytes / 1024).toFixed(1)} KiB`;
  }
  return `${bytes} B`;
}

// A progress bar whose width and label are set by setBar.
export function bar(label) {
  const fill = el('span');
  const text = el('b');
  const node = el('div', { class: 'bar', role: 'progressbar', 'aria-valuemin': 0, 'aria-valuemax': 100,
    'aria-label': label }, fill, text);
  return node;
}

export function setBar(node, percent) {
  const value = Math.max(0, Math.min(100, Number(percent) || 0));
  if (node.getAttribute('aria-valuenow') === String(value)) {
    return;
  }
  node.setAttribute('aria-valuenow', String(value));
  node.firstChild.style.width = `${value}%`;
  node.lastChild.textContent = `${value} %`;
}

export function clear(node) {
  node.replaceChildren();
}

// The text of an API refusal as the console shows it: its code, then its message.
export function refusalText(error) {
  return `${error.code}: ${error.message}`;
}
