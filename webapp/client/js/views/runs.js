// Runs: the current run (keep, discard, new) and the stored runs (reload, delete), each
// with the name and note the user gave it.
import { t, num } from '../i18n.js';
import { lostFrames, lostPerRemote } from '../lostframes.js';
import { el, fill, formatDate, confirmDialog, choiceDialog } from '../ui.js';
import { configurationSummary } from '../sensors.js';
import { sortStoredRuns } from '../runinfo.js';
import { checkRunText, NAME_MAX, NOTE_MAX } from '../runnotes.js';

export class RunsPanel {
  // notes: the RunNotes of runnotes.js (null: runs have no names).
  constructor(root, client, store, notify, notes = null) {
    this.root = root;
    this.notes = notes;
    this.editing = null; // acquisition ID whose name and note are being edited
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.working = false;
    this.current = el('div', { class: 'run-current' });
    this.list = el('div', { class: 'run-list' });
    this.lostLine = el('div', { class: 'lost-summary', 'aria-live': 'polite' });
    fill(root, el('h2', {}, t('runs.heading')), this.current, this.lostLine, el('h3', {}, t('runs.stored')), this.list);
    store.addEventListener('change', (e) => {
      if (['stack', 'recording'].includes(e.detail)) this.renderCurrent();
      if (['stack', 'counters'].includes(e.detail)) this.renderLost();
      if (['stored', 'stack', 'recording'].includes(e.detail)) this.renderList();
    });
    notes?.addEventListener('change', () => { this.renderCurrent(); this.renderList(); });
    this.renderCurrent();
    this.renderList();
    this.renderLost();
  }

  // True while the user types in a name form inside `container`: it is then not rebuilt.
  holdsEditor(container) {
    const form = container.querySelector('.run-notes-form');
    return Boolean(form && form.contains(document.activeElement));
  }

  // The run's name, or null when it has none.
  runName(id) {
    return this.notes?.name(id) || null;
  }

  // The name and note form of one run, shown in place of its text.
  notesEditor(id, when) {
    const saved = this.draft?.id === id ? this.draft : this.notes.get(id);
    const nameId = `run-name-${id}`;
    const noteId = `run-note-${id}`;
    const name = el('input', { type: 'text', id: nameId, class: 'run-name-input', maxlength: NAME_MAX, autocomplete: 'off', value: saved.name ?? '' });
    const note = el('textarea', { id: noteId, class: 'run-note-input', rows: 2, maxlength: NOTE_MAX });
    note.value = saved.note ?? '';
    // What is typed survives a re-rendering of the list (the list follows the kit's reports).
    const keep = () => { this.draft = { id, name: name.value, note: note.value }; };
    name.addEventListener('input', keep);
    note.addEventListener('input', keep);
    const save = async (e) => {
      e.preventDefault();
      const checked = checkRunText({ name: name.value, note: note.value });
      if (!checked.ok) { this.notify(t(checked.error), 'error'); return; }
      try {
        await this.notes.update(id, { name: checked.name, note: checked.note });
        this.editing = null;
        this.draft = null;
        form.querySelector(':focus')?.blur();
        this.notify(t('notes.saved'), 'info');
        this.renderCurrent();
        this.renderList();
      } catch (err) {
        this.notify(t('notes.saveFailed', { error: err.message }), 'error');
      }
    };
    const cancel = () => { this.editing = null; this.draft = null; form.querySelector(':focus')?.blur(); this.renderCurrent(); this.renderList(); };
    const form = el('form', { class: 'run-notes-form', 'aria-label': t('notes.formLabel', { when }), onsubmit: save,
      onkeydown: (e) => { if (e.key === 'Escape') { e.stopPropagation(); cancel(); } } },
    el('label', { for: nameId, class: 'field' }, t('notes.name'), ' ', name),
    el('label', { for: noteId, class: 'field' }, t('notes.note'), ' ', note),
    el('div', { class: 'button-row' },
      el('button', { class: 'btn btn-small btn-primary', type: 'submit' }, t('notes.save')),
      el('button', { class: 'btn btn-small', type: 'button', onclick: cancel }, t('ui.cancel'))));
    queueMicrotask(() => { if (form.isConnected) name.focus(); });
    return form;
  }

  // The run's name and note in the list, and the button that edits them.
  notesLine(id, when) {
    if (!this.notes || !id) return null;
    if (this.editing === id) return this.notesEditor(id, when);
    const { note } = this.notes.get(id);
    return el('div', { class: 'run-notes' },
      note ? el('p', { class: 'run-note detail' }, note) : null,
      el('button', {
        class: 'btn btn-small', type: 'button', 'aria-label': t('notes.editLabel', { when }),
        onclick: () => { this.editing = id; this.renderCurrent(); this.renderList(); },
      }, t('notes.edit')));
  }

  renderCurrent() {
    if (this.holdsEditor(this.current)) return;
    const stack = this.store.stack;
    if (!stack) {
      fill(this.current, el('p', { class: 'placeholder' },
        this.store.stackError ? t('runs.unknown', { error: this.store.stackError.message }) : t('runs.reading')));
      return;
    }
    const remotes = this.store.runRemotes();
    const started = this.store.runStart();
    const blocked = this.store.recording || this.working;
    const hasRun = remotes.length > 0 || started !== null;
    const name = this.runName(stack.ID);
    fill(this.current,
      el('p', {},
        el('strong', {}, stack.fromDB ? t('runs.reloaded') : t('runs.current')),
        name ? el('span', { class: 'run-name' }, ` · ${name}`) : null,
        ` · ${started ? t('runs.started', { when: formatDate(started) }) : t('runs.notRecorded')}`),
      hasRun ? this.notesLine(stack.ID, started ? formatDate(started) : t('runs.current')) : null,
      remotes.length
        ? el('ul', { class: 'detail-list' }, remotes.map((r) => el('li', {}, t('runs.remoteConfig', { n: r.remote, summary: configurationSummary(r.config) }))))
        : el('p', { class: 'detail' }, t('runs.noRemote')),
      el('div', { class: 'button-row' },
        el('button', {
          class: 'btn', type: 'button', disabled: blocked || !hasRun, title: t('runs.keepTitle'),
          onclick: () => this.keep(),
        }, t('runs.keep')),
        el('button', {
          class: 'btn btn-danger', type: 'button', disabled: blocked || !hasRun, onclick: () => this.discard(),
        }, t('runs.discard')),
        el('button', { class: 'btn', type: 'button', disabled: blocked || !hasRun, onclick: () => this.newRun() }, t('runs.new'))));
  }

  // Frames the radio lost, per remote, during and after a run.
  renderLost() {
    const per = lostPerRemote(lostFrames(this.store.stack));
    fill(this.lostLine, [...per.values()].map((r) => el('p', { class: r.lost ? 'warn' : 'detail' },
      r.lost
        ? t('runs.lost', { n: r.remote, lost: num(r.lost), frames: num(r.frames), pct: num((100 * r.lost) / Math.max(1, r.frames), { maximumFractionDigits: 2 }) })
        : t('runs.noneLost', { n: r.remote, frames: num(r.frames) }))));
  }

  renderList() {
    if (this.holdsEditor(this.list)) return;
    if (this.store.stored === null) {
      fill(this.list, el('p', { class: 'placeholder' },
        this.store.storedError ? t('runs.listError', { error: this.store.storedError.message }) : t('runs.listReading')));
      return;
    }
    const runs = sortStoredRuns(this.store.stored);
    if (!runs.length) {
      fill(this.list, el('p', { class: 'placeholder' }, t('runs.noneStored')));
      return;
    }
    const currentId = this.store.stack?.ID;
    const blocked = this.store.recording || this.working;
    fill(this.list, el('ul', { class: 'stored-runs' }, runs.map((run) => el('li', {
      class: run.id === currentId ? 'loaded' : '',
    },
    el('div', { class: 'stored-run-text' },
      this.runName(run.id) ? el('strong', { class: 'run-name' }, this.runName(run.id)) : null,
      this.runName(run.id) ? el('span', { class: 'detail' }, ` · ${formatDate(run.started)}`) : el('strong', {}, formatDate(run.started)),
      run.id === currentId ? el('span', { class: 'badge' }, t('runs.shown')) : null,
      el('div', { class: 'detail' }, run.remotes.map((r) => r.words).join('; ') || t('runs.noRemoteShort')),
      run.id === currentId ? null : this.notesLine(run.id, formatDate(run.started))),
    el('div', { class: 'button-row' },
      el('button', { class: 'btn btn-small', type: 'button', disabled: blocked, onclick: () => this.reload(run) }, t('runs.reload')),
      el('button', { class: 'btn btn-small btn-danger', type: 'button', disabled: blocked, onclick: () => this.remove(run) }, t('ui.delete')))))));
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
      this.notify(t('runs.kept'), 'info');
    });
  }

  async discard() {
    if (!await confirmDialog(t('runs.discard'), t('runs.discardText'), t('runs.discardButton'), { danger: true })) return;
    await this.guarded(async () => {
      const { doc } = await this.client.request('korvex_deleteAcquisition');
      if (doc.success !== true) this.notify(t('runs.discardFailed'), 'error');
    });
  }

  async newRun() {
    const choice = await choiceDialog(t('runs.newTitle'), t('runs.newText'), [
      { label: t('runs.discardIt'), value: 'discard', danger: true },
      { label: t('runs.keepIt'), value: 'keep', primary: true },
    ]);
    if (choice === 'keep') await this.keep();
    else if (choice === 'discard') {
      await this.guarded(async () => {
        const { doc } = await this.client.request('korvex_deleteAcquisition');
        if (doc.success !== true) this.notify(t('runs.discardFailed'), 'error');
      });
    }
  }

  async reload(run) {
    const remotes = this.store.runRemotes();
    if (remotes.length && !this.store.stack?.fromDB) {
      const ok = await confirmDialog(t('runs.reloadTitle'), t('runs.reloadText'), t('runs.reloadButton'), { danger: true });
      if (!ok) return;
    }
    await this.guarded(async () => {
      await this.client.request('korvex_acquisitionManagement', [1, run.id]);
      this.notify(t('runs.reloading', { when: formatDate(run.started) }), 'info');
    });
  }

  async remove(run) {
    if (!await confirmDialog(t('runs.deleteTitle'), t('runs.deleteText', { when: formatDate(run.started) }), t('ui.delete'), { danger: true })) return;
    await this.guarded(async () => {
      const { doc } = await this.client.request('korvex_acquisitionManagement', [2, run.id]);
      this.store.setStored(doc);
      // The run's notes go with it, once the library no longer lists it.
      if (this.notes && !sortStoredRuns(this.store.stored).some((r) => r.id === run.id)) {
        await this.notes.remove(run.id).catch((err) => this.notify(t('notes.removeFailed', { error: err.message }), 'error'));
      }
    });
  }
}
