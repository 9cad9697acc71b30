// Light and dark themes. Colours live in the style sheet as custom properties; the plots,
// which draw on canvases, read them from there. The series palette is colour-blind safe
// (after Okabe and Ito), with a lighter set for the dark background.
const STORAGE_KEY = 'korvex.theme';

const PALETTES = {
  light: ['#0072B2', '#D55E00', '#009E73', '#CC79A7', '#8A6D00', '#56B4E9', '#4D4D4D', '#6A3D9A'],
  dark: ['#56B4E9', '#E69F00', '#3FC79A', '#E495C4', '#F0E442', '#FF8C4A', '#CFCFCF', '#B9A6FF'],
};

export function savedTheme() {
  try {
    const v = localStorage.getItem(STORAGE_KEY);
    if (v === 'light' || v === 'dark') return v;
  } catch { /* storage off */ }
  return window.matchMedia?.('(prefers-color-scheme: dark)').matches ? 'dark' : 'light';
}

export function applyTheme(theme) {
  const v = theme === 'dark' ? 'dark' : 'light';
  document.documentElement.dataset.theme = v;
  try { localStorage.setItem(STORAGE_KEY, v); } catch { /* storage off */ }
  return v;
}

export function currentTheme() {
  return document.documentElement.dataset.theme === 'dark' ? 'dark' : 'light';
}

export function palette() {
  return PALETTES[currentTheme()];
}

export function themeColour(name) {
  return getComputedStyle(document.documentElement).getPropertyValue(name).trim() || '#000';
}
