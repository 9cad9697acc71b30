// The time range selected on each graph, shared by the views that follow it (statistics,
// fits, the data table, the spectrum). A graph is keyed by remote and sensor type; a
// range is { t0, t1 } in run seconds with t0 < t1, or null for no selection.
export function selectionKey(remote, sensorType) {
  return `${remote}:${sensorType}`;
}

export class SelectionStore extends EventTarget {
  constructor() {
    super();
    this.ranges = new Map();
    this.lastKey = null; // the graph whose selection changed last
  }

  get(key) {
    return this.ranges.get(key) ?? null;
  }

  // Stores the range (ordered; empty or non-finite ranges clear it) and tells the listeners.
  set(key, range) {
    let value = null;
    if (range && Number.isFinite(range.t0) && Number.isFinite(range.t1) && range.t0 !== range.t1) {
      value = { t0: Math.min(range.t0, range.t1), t1: Math.max(range.t0, range.t1) };
    }
    if (value) this.ranges.set(key, value);
    else this.ranges.delete(key);
    this.lastKey = key;
    this.dispatchEvent(new CustomEvent('change', { detail: { key, range: value } }));
  }

  clear() {
    for (const key of [...this.ranges.keys()]) this.set(key, null);
  }
}
