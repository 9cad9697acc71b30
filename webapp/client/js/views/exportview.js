// Export: CSV files of one sensor or of every sensor of the current run. A named run's
// files are named after it unless another name is typed; for a triggered run the page says
// where its time zero lies, since the files keep the recording's own times.
import { t } from '../i18n.js';
import { el, fill } from '../ui.js';
import { sensorTitle } from '../sensors.js';
import { checkExportPrefix, exportFileName, prefixFromRunName } from '../exportnames.js';

export class ExportPanel {
  // notes: the RunNotes of runnotes.js, or null.
  constructor(root, client, store, notify, notes = null) {
    this.root = root;
    this.notes = notes;
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
    notes?.addEventListener('change', () => this.render());
    this.render();
  }

  sensors() {
    return this.store.runRemotes().flatMap((r) => r.sensors.map((s) => ({ remote: r.remote, sensorType: s.sensorType })));
  }

  // The current run's notes (name, trigger), or nothing.
  runNotes() {
    const id = this.store.stack?.ID;
    return id && this.notes ? this.notes.get(id) : {};
  }

  // Typed name first, else the run's name, else the library's own naming.
  namePrefix(typed) {
    return typed || prefixFromRunName(this.runNotes().name);
  }

  render() {
    const notes = this.runNotes();
    const fromName = prefixFromRunName(notes.name);
    this.name.placeholder = fromName || t('export.automatic');
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
      this.store.recording ? el('p', { class: 'detail' }, t('export.afterStop')) : null,
      Number.isFinite(notes.triggerTime)
        ? el('p', { class: 'detail export-zero' }, t('export.triggerZero', { s: notes.triggerTime.toFixed(3) })) : null);
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
            [s.remote, s.sensorType, exportFileName(this.namePrefix(checked.prefix), s.remote, s.sensorType)]);
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
    const zero = this.runNotes().triggerTime;
    if (!failed && Number.isFinite(zero)) this.output.append(el('li', { class: 'detail' }, t('export.triggerZero', { s: zero.toFixed(3) })));
    if (failed) this.notify(t('export.failed', { failed, n: results.length }), 'error');
    else this.notify(t(results.length === 1 ? 'export.writtenOne' : 'export.written', { n: results.length }), 'info');
  }
}
