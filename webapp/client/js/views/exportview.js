// Export: CSV files of one sensor or of every sensor of the current run.
import { t } from '../i18n.js';
import { el, fill } from '../ui.js';
import { sensorTitle } from '../sensors.js';
import { checkExportPrefix, exportFileName } from '../exportnames.js';

export class ExportPanel {
  constructor(root, client, store, notify) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.results = [];
    this.working = false;
    this.name = el('input', {
      type: 'text', id: 'export-name', placeholder: t('export.automatic'), maxlength: 60, spellcheck: 'false',
      autocomplete: 'off',
    });
    this.body = el('div');
    this.output = el('ul', { class: 'export-results', 'aria-live': 'polite' });
    fill(root, el('h2', {}, t('export.heading')),
      el('label', { for: 'export-name', class: 'field' }, t('export.fileName'), ' ', this.name),
      this.body, this.output);
    store.addEventListener('change', (e) => {
      if (['stack', 'recording'].includes(e.detail)) this.render();
    });
    this.render();
  }

  sensors() {
    return this.store.runRemotes().flatMap((r) => r.sensors.map((s) => ({ remote: r.remote, sensorType: s.sensorType })));
  }

  render() {
    const sensors = this.sensors();
    if (!sensors.length) {
      fill(this.body, el('p', { class: 'placeholder' }, t('export.none')));
      return;
    }
    const blocked = this.store.recording || this.working;
    fill(this.body,
      el('ul', { class: 'export-sensors' }, sensors.map((s) => el('li', {},
        el('span', {}, t('graph.title', { remote: s.remote, sensor: sensorTitle(s.sensorType) })),
        el('button', { class: 'btn btn-small', type: 'button', disabled: blocked, 'aria-label': t('export.csvLabel', { remote: s.remote, sensor: sensorTitle(s.sensorType) }), onclick: () => this.run([s]) }, 'CSV')))),
      el('button', { class: 'btn', type: 'button', disabled: blocked, onclick: () => this.run(sensors) },
        t('export.all', { n: sensors.length })),
      this.store.recording ? el('p', { class: 'detail' }, t('export.afterStop')) : null);
  }

  async run(list) {
    const checked = checkExportPrefix(this.name.value);
    if (!checked.ok) {
      this.notify(t(checked.error), 'error');
      this.name.focus();
      return;
    }
    this.working = true;
    this.render();
    const results = [];
    try {
      for (const s of list) {
        const label = t('graph.title', { remote: s.remote, sensor: sensorTitle(s.sensorType) });
        try {
          const { doc } = await this.client.request('korvex_exportData',
            [s.remote, s.sensorType, exportFileName(checked.prefix, s.remote, s.sensorType)]);
          if (doc.success === true && typeof doc.path === 'string') results.push({ label, path: doc.path });
          else results.push({ label, error: typeof doc.error === 'string' && doc.error ? doc.error : t('export.notWritten') });
        } catch (err) {
          results.push({ label, error: err.message });
        }
      }
    } finally {
      this.working = false;
      this.render();
    }
    fill(this.output, results.map((r) => el('li', { class: r.error ? 'bad' : 'ok' },
      el('strong', {}, r.label), r.error ? `: ${r.error}` : `: ${t('export.writtenTo')} `,
      r.path ? el('code', { class: 'path' }, r.path) : null)));
    const failed = results.filter((r) => r.error).length;
    if (failed) this.notify(t('export.failed', { failed, n: results.length }), 'error');
    else this.notify(t(results.length === 1 ? 'export.writtenOne' : 'export.written', { n: results.length }), 'info');
  }
}
