// Every text the pages show comes from the catalogue through t(key, values).
// "{name}" in a text is replaced by values.name. The language is chosen once per page load
// (saved in the browser's storage); changing it reloads the page, which holds no device
// state of its own.
import { CATALOGUE, LANGUAGES } from './catalogue.js';

const STORAGE_KEY = 'korvex.language';
let current = 'en';

function stored() {
  try { return globalThis.localStorage?.getItem(STORAGE_KEY) ?? null; } catch { return null; }
}

export function initialLanguage() {
  const saved = stored();
  if (saved && CATALOGUE[saved]) return saved;
  const nav = (globalThis.navigator?.language ?? 'en').slice(0, 2).toLowerCase();
  return CATALOGUE[nav] ? nav : 'en';
}

export function setLanguage(lang) {
  current = CATALOGUE[lang] ? lang : 'en';
  if (globalThis.document) globalThis.document.documentElement.lang = current;
  return current;
}

export function saveLanguage(lang) {
  try { globalThis.localStorage?.setItem(STORAGE_KEY, lang); } catch { /* storage off: this load only */ }
}

export function language() {
  return current;
}

export function languages() {
  return Object.entries(LANGUAGES).map(([code, name]) => ({ code, name }));
}

// Placeholders in a text, for the completeness check.
export function placeholders(text) {
  return [...String(text).matchAll(/\{(\w+)\}/g)].map((m) => m[1]).sort();
}

export function format(text, values) {
  if (!values) return text;
  return text.replace(/\{(\w+)\}/g, (all, name) => (values[name] === undefined ? all : String(values[name])));
}

export function t(key, values) {
  const text = CATALOGUE[current]?.[key] ?? CATALOGUE.en[key];
  if (text === undefined) return key; // a missing key shows itself rather than nothing
  return format(text, values);
}

// Numbers in the page's language (decimal comma in German).
export function num(value, options) {
  if (value == null || !Number.isFinite(value)) return '—';
  return value.toLocaleString(current, options);
}

// Static texts of the HTML pages: data-i18n (text), data-i18n-title, data-i18n-label.
export function translateStatic(root = globalThis.document) {
  for (const node of root.querySelectorAll('[data-i18n]')) node.textContent = t(node.dataset.i18n);
  for (const node of root.querySelectorAll('[data-i18n-title]')) node.title = t(node.dataset.i18nTitle);
  for (const node of root.querySelectorAll('[data-i18n-label]')) node.setAttribute('aria-label', t(node.dataset.i18nLabel));
}

setLanguage(initialLanguage());
