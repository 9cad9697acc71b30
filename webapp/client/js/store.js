// What the page knows about the kit and the runs. The page holds no device state of its
// own: every event makes it ask the library again, and a failed request shows "unknown"
// instead of keeping the old answer on screen.
import { coalesce, parseIsoBasic } from './ui.js';
import { asArray } from './bsondoc.js';
import { DATA_MODE } from './sensors.js';

// The run report without the frame counters, to tell a changed run from moving counters.
export function stackShape(doc) {
  return JSON.stringify(doc, (key, value) => (key === 'frames' || key === 'packets' ? undefined : value));
}

export class Store extends EventTarget {
  constructor(client) {
    super();
    this.client = client;
    this.hardware = null; // decoded hardware state, or null when unknown
    this.hardwareError = null;
    this.stack = null; // decoded current-acquisition report
    this.stackError = null;
    this.stored = null; // array of stored acquisition metadata documents
    this.storedError = null;
    this.recording = false;
    this.recordingSince = null; // Date
    this.refreshHardware = coalesce(() => this.loadHardware());
    this.refreshStack = coalesce(() => this.loadStack());
    this.refreshStored = coalesce(() => this.loadStored());
  }

  emit(what) {
    this.dispatchEvent(new CustomEvent('change', { detail: what }));
  }

  async loadHardware() {
    try {
      const { doc } = await this.client.request('korvex_getHardwareState');
      this.hardware = doc;
      this.hardwareError = null;
      const streaming = doc.donglePlugged === 1 && (doc.dongleMode & DATA_MODE) !== 0;
      if (streaming !== this.recording) this.setRecording(streaming, null);
    } catch (err) {
      this.hardware = null;
      this.hardwareError = err;
    }
    this.emit('hardware');
  }

  async loadStack() {
    try {
      const { doc } = await this.client.request('korvex_getAcquisitionStack');
      const before = this.stack ? stackShape(this.stack) : null;
      this.stack = doc;
      this.stackError = null;
      // Only the frame counters moved (polled while recording): the panels that show the
      // run need not be rebuilt.
      if (before !== null && before === stackShape(doc)) {
        this.emit('counters');
        return;
      }
    } catch (err) {
      this.stack = null;
      this.stackError = err;
    }
    this.emit('stack');
  }

  async loadStored() {
    try {
      const { doc } = await this.client.request('korvex_acquisitionManagement', [0]);
      this.setStored(doc);
    } catch (err) {
      this.stored = null;
      this.storedError = err;
      this.emit('stored');
    }
  }

  setStored(doc) {
    this.stored = asArray(doc.acquisitionList);
    this.storedError = null;
    this.emit('stored');
  }

  setRecording(on, since) {
    const changed = on !== this.recording;
    this.recording = on;
    if (on) this.recordingSince = since ?? this.recordingSince ?? new Date();
    else this.recordingSince = null;
    if (changed) this.emit('recording');
  }

  // Remotes of the current run: [{ remote, config, sensors: [{ sensorType, sampleSize }] }]
  runRemotes() {
    const out = [];
    for (const remote of [1, 2]) {
      const r = this.stack?.[`remote${remote}`];
      if (!r) continue;
      out.push({
        remote,
        config: r.config,
        sensors: asArray(r.sensors).map((s) => ({ sensorType: s.sensorType, sampleSize: s.sampleSize })),
      });
    }
    return out;
  }

  runStart() {
    return parseIsoBasic(this.stack?.lastStartDate);
  }

  remoteSlot(remote) {
    return this.hardware?.[`remote${remote}`] ?? null;
  }

  dongleReady() {
    return this.hardware?.donglePlugged === 1;
  }
}
