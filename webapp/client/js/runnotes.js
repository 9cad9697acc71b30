// Names and notes of stored runs, and the trigger settings of a triggered run, as the host
// keeps them beside the work files (request "korvex_runNotes": 0 all, 1 set one, 2 delete
// one). The library knows nothing of them: a run without notes is simply unnamed.

export const NAME_MAX = 80;
export const NOTE_MAX = 2000;
const ID = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/;

const chars = (s) => [...s].length;

// The name and note as typed: trimmed, and checked against the host's limits.
export function checkRunText({ name = '', note = '' } = {}) {
  const n = String(name).trim();
  const text = String(note).trim();
  if (chars(n) > NAME_MAX) return { ok: false, error: 'notes.nameTooLong' };
  if (chars(text) > NOTE_MAX) return { ok: false, error: 'notes.noteTooLong' };
  return { ok: true, name: n, note: text };
}

export class RunNotes extends EventTarget {
  constructor(client) {
    super();
    this.client = client;
    this.runs = new Map(); // acquisition ID -> { name, note, triggerTime, preTrigger }
    this.ignored = [];
    this.loaded = false;
  }

  get(id) {
    return this.runs.get(id) ?? {};
  }

  name(id) {
    return this.get(id).name ?? '';
  }

  changed() {
    this.dispatchEvent(new Event('change'));
  }

  // Tells the other windows (the repository) that notes changed: they read them again.
  tellOthers() {
    try { this.client.send('korvex_broadcast', ['runNotesChanged']); } catch { /* no other window to tell */ }
  }

  // Reads every run's notes; files the host could not use are listed in `ignored`.
  async refresh() {
    const { doc } = await this.client.request('korvex_runNotes', [0, '', '']);
    const parsed = typeof doc.json === 'string' ? JSON.parse(doc.json) : null;
    if (doc.success !== true || !parsed || typeof parsed.runs !== 'object') {
      throw new Error(typeof doc.error === 'string' ? doc.error : 'no run notes');
    }
    this.runs = new Map(Object.entries(parsed.runs));
    this.ignored = Array.isArray(parsed.ignored) ? parsed.ignored : [];
    this.loaded = true;
    this.changed();
    return this;
  }

  // Merges `changes` into the run's notes and stores them; fields set to null are removed.
  async update(id, changes) {
    if (!ID.test(id)) throw new Error(`not a run: ${id}`);
    const next = { ...this.get(id) };
    for (const [key, value] of Object.entries(changes)) {
      if (value === null || value === undefined || value === '') delete next[key];
      else next[key] = value;
    }
    const { doc } = await this.client.request('korvex_runNotes', [1, id, JSON.stringify(next)]);
    if (doc.success !== true) throw new Error(typeof doc.error === 'string' ? doc.error : 'not stored');
    if (Object.keys(next).length) this.runs.set(id, next); else this.runs.delete(id);
    this.changed();
    this.tellOthers();
    return next;
  }

  async remove(id) {
    if (!ID.test(id)) return;
    const { doc } = await this.client.request('korvex_runNotes', [2, id, '']);
    if (doc.success !== true) throw new Error(typeof doc.error === 'string' ? doc.error : 'not removed');
    this.runs.delete(id);
    this.changed();
    this.tellOthers();
  }
}
