// The remote chooser of the Table, Spectrum and X-Y views.
import { el, fill } from '../ui.js';
import { t } from '../i18n.js';

// Fills view.remoteSelect with the run's remotes, keeping the one chosen. False when the
// run's remotes and configurations are those already listed.
export function refillRemotes(view, remotes) {
  const key = remotes.map((r) => `${r.remote}:${r.config}`).join(',');
  if (key === view.remotesKey) return false;
  view.remotesKey = key;
  const keep = Number(view.remoteSelect.value);
  fill(view.remoteSelect, remotes.map((r) => el('option', { value: r.remote, selected: r.remote === keep },
    t('xy.remoteN', { n: r.remote }))));
  return true;
}
