// Runs: the current run (keep, discard, new) and the stored runs (reload, delete).
import { el, fill, formatDate, confirmDialog, choiceDialog } from '../ui.js';
import { configurationSummary } from '../sensors.js';
import { sortStoredRuns } from '../runinfo.js';

export class RunsPanel {
  constructor(root, client, store, notify) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.working = false;
    this.current = el('div', { class: 'run-current' });
    this.list = el('div', { class: 'run-list' });
    fill(root, el('h2', {}, 'Runs'), this.current, el('h3', {}, 'Stored runs'), this.list);
    store.addEventListener('change', (e) => {
      if (['stack', 'recording'].includes(e.detail)) this.renderCurrent();
      if (['stored', 'stack', 'recording'].includes(e.detail)) this.renderList();
    });
    this.renderCurrent();
    this.renderList();
  }

  renderCurrent() {
    const stack = this.store.stack;
    if (!stack) {
      fill(this.current, el('p', { class: 'placeholder' },
        this.store.stackError ? `Current run unknown: ${this.store.stackError.message}` : 'Reading the current run…'));
      return;
    }
    const remotes = this.store.runRemotes();
    const started = this.store.runStart();
    const blocked = this.store.recording || this.working;
    const hasRun = remotes.length > 0 || started !== null;
    fill(this.current,
      el('p', {},
        el('strong', {}, stack.fromDB ? 'Reloaded run' : 'Current run'),
        ` · ${started ? `started ${formatDate(started)}` : 'not recorded yet'}`),
      remotes.length
        ? el('ul', { class: 'detail-list' }, remotes.map((r) => el('li', {}, `Remote ${r.remote}: ${configurationSummary(r.config)}`)))
        : el('p', { class: 'detail' }, 'No remote configured in this run.'),
      el('div', { class: 'button-row' },
        el('button', {
          class: 'btn', type: 'button', disabled: blocked || !hasRun, title: 'keep this run in memory and start a new one',
          onclick: () => this.keep(),
        }, 'Keep run'),
        el('button', {
          class: 'btn btn-danger', type: 'button', disabled: blocked || !hasRun, onclick: () => this.discard(),
        }, 'Discard run'),
        el('button', { class: 'btn', type: 'button', disabled: blocked || !hasRun, onclick: () => this.newRun() }, 'New run…')));
  }

  renderList() {
    if (this.store.stored === null) {
      fill(this.list, el('p', { class: 'placeholder' },
        this.store.storedError ? `List unavailable: ${this.store.storedError.message}` : 'Reading the stored runs…'));
      return;
    }
    const runs = sortStoredRuns(this.store.stored);
    if (!runs.length) {
      fill(this.list, el('p', { class: 'placeholder' }, 'No stored run yet. Every recorded run is stored automatically.'));
      return;
    }
    const currentId = this.store.stack?.ID;
    const blocked = this.store.recording || this.working;
    fill(this.list, el('ul', { class: 'stored-runs' }, runs.map((run) => el('li', {
      class: run.id === currentId ? 'loaded' : '',
    },
    el('div', { class: 'stored-run-text' },
      el('strong', {}, formatDate(run.started)),
      run.id === currentId ? el('span', { class: 'badge' }, 'shown') : null,
      el('div', { class: 'detail' }, run.remotes.map((r) => r.words).join('; ') || 'no remote')),
    el('div', { class: 'button-row' },
      el('button', { class: 'btn btn-small', type: 'button', disabled: blocked, onclick: () => this.reload(run) }, 'Reload'),
      el('button', { class: 'btn btn-small btn-danger', type: 'button', disabled: blocked, onclick: () => this.remove(run) }, 'Delete'))))));
  }

  async guarded(fn) {
    this.working = true;
    this.renderCurrent();
    this.renderList();
    try {
      await fn();
    } catch (err) {
      this.notify(err.message, 'error');
    } finally {
      this.working = false;
      this.renderCurrent();
      this.renderList();
    }
  }

  keep() {
    return this.guarded(async () => {
      this.client.send('korvex_stackAcquisition');
      this.notify('Run kept. A new run is ready.', 'info');
    });
  }

  async discard() {
    if (!await confirmDialog('Discard run', 'Discard the current run? Its data is removed from memory (files already stored stay in the list).', 'Discard', { danger: true })) return;
    await this.guarded(async () => {
      const { doc } = await this.client.request('korvex_deleteAcquisition');
      if (doc.success !== true) this.notify('The run could not be discarded (see the log).', 'error');
    });
  }

  async newRun() {
    const choice = await choiceDialog('New run', 'Before a new run starts, keep or discard the current one.', [
      { label: 'Discard it', value: 'discard', danger: true },
      { label: 'Keep it', value: 'keep', primary: true },
    ]);
    if (choice === 'keep') await this.keep();
    else if (choice === 'discard') {
      await this.guarded(async () => {
        const { doc } = await this.client.request('korvex_deleteAcquisition');
        if (doc.success !== true) this.notify('The run could not be discarded (see the log).', 'error');
      });
    }
  }

  async reload(run) {
    const remotes = this.store.runRemotes();
    if (remotes.length && !this.store.stack?.fromDB) {
      const ok = await confirmDialog('Reload run',
        'Reloading replaces the current run, which is discarded. Keep it first if you still need it.', 'Discard and reload', { danger: true });
      if (!ok) return;
    }
    await this.guarded(async () => {
      await this.client.request('korvex_acquisitionManagement', [1, run.id]);
      this.notify(`Reloading the run of ${formatDate(run.started)}…`, 'info');
    });
  }

  async remove(run) {
    if (!await confirmDialog('Delete run', `Delete the stored run of ${formatDate(run.started)} from disk? This cannot be undone.`, 'Delete', { danger: true })) return;
    await this.guarded(async () => {
      const { doc } = await this.client.request('korvex_acquisitionManagement', [2, run.id]);
      this.store.setStored(doc);
    });
  }
}
