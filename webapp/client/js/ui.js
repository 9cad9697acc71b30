// Small DOM helpers shared by the views.
import { t, language } from './i18n.js';

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs ?? {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on') && typeof value === 'function') node.addEventListener(key.slice(2), value);
    else if (key === 'dataset') Object.assign(node.dataset, value);
    else if (value === true) node.setAttribute(key, '');
    else node.setAttribute(key, String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

export function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
  return node;
}

export function fill(node, ...children) {
  clear(node).append(...children.flat(Infinity).filter((c) => c !== null && c !== undefined && c !== false));
  return node;
}

// Modal dialogs built on <dialog>, answered through promises.
let dialogCount = 0;
function openDialog({ title, body, buttons, className }) {
  return new Promise((resolve) => {
    const dialog = el('dialog', { class: `modal ${className ?? ''}` });
    const actions = el('div', { class: 'modal-actions' });
    for (const { label, value, primary, danger } of buttons) {
      actions.append(el('button', {
        class: `btn ${primary ? 'btn-primary' : ''} ${danger ? 'btn-danger' : ''}`,
        type: 'button',
        onclick: () => { dialog.close(); resolve(value); },
      }, label));
    }
    const titleId = `dialog-title-${++dialogCount}`;
    dialog.setAttribute('aria-labelledby', titleId);
    dialog.append(el('h2', { id: titleId }, title), el('div', { class: 'modal-body' }, body), actions);
    dialog.addEventListener('cancel', () => resolve(undefined));
    dialog.addEventListener('close', () => { dialog.remove(); resolve(undefined); });
    document.body.append(dialog);
    dialog.showModal();
    const primary = actions.querySelector('.btn-primary') ?? actions.querySelector('button');
    primary?.focus();
  });
}

export function confirmDialog(title, message, okLabel = t('ui.ok'), { danger = false } = {}) {
  return openDialog({
    title,
    body: el('p', {}, message),
    buttons: [
      { label: t('ui.cancel'), value: false },
      { label: okLabel, value: true, primary: !danger, danger },
    ],
  }).then((v) => v === true);
}

export function choiceDialog(title, message, choices) {
  return openDialog({ title, body: el('p', {}, message), buttons: [{ label: t('ui.cancel'), value: null }, ...choices] });
}

export function infoDialog(title, body, { className } = {}) {
  return openDialog({ title, body, buttons: [{ label: t('ui.close'), value: true, primary: true }], className });
}

export function isDialogOpen() {
  return document.querySelector('dialog[open]') !== null;
}

export function hex(value, digits = 6) {
  if (!Number.isInteger(value)) return '—';
  return `0x${(value >>> 0).toString(16).toUpperCase().padStart(digits, '0')}`;
}

// "20150302T140509.125000" (local time) -> Date, or null for "not-a-date-time" and junk.
export function parseIsoBasic(text) {
  const m = /^(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})(?:\.(\d{1,6}))?$/.exec(text ?? '');
  if (!m) return null;
  const ms = m[7] ? Math.floor(Number(m[7].padEnd(6, '0')) / 1000) : 0;
  const d = new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6], ms);
  return Number.isNaN(d.getTime()) ? null : d;
}

export function formatDate(date, { short = false } = {}) {
  if (!date) return t('ui.neverStarted');
  if (short) return date.toLocaleTimeString(language(), { hour: '2-digit', minute: '2-digit', second: '2-digit' });
  return date.toLocaleString(language(), {
    year: 'numeric', month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit', second: '2-digit',
  });
}

export function formatElapsed(seconds) {
  if (!Number.isFinite(seconds) || seconds < 0) return '0:00.0';
  const m = Math.floor(seconds / 60);
  const s = seconds - m * 60;
  return `${m}:${s.toFixed(1).padStart(4, '0')}`;
}

// Runs an async refresh; calls made while it runs collapse into one more run afterwards,
// so a burst of events costs two requests, not one per event.
export function coalesce(fn) {
  let running = null;
  let again = false;
  const run = async () => {
    if (running) { again = true; return running; }
    running = (async () => {
      try {
        do { again = false; await fn(); } while (again);
      } finally {
        running = null;
      }
    })();
    return running;
  };
  return run;
}
