// Timed runs: an optional countdown before the start and an optional duration after which
// the run stops by itself. The clock and the timers are passed in, so the sequence can be
// checked without waiting.
//
// States: 'idle' -> 'countdown' -> 'starting' -> 'running' -> 'idle'.
// The duration is measured from the kit's confirmation that data started, not from the
// button press, so a slow start does not shorten the run; with a start trigger, from the
// trigger's moment, so the run holds the chosen time after it.

export function parseSeconds(text, { max = 24 * 3600 } = {}) {
  const s = String(text ?? '').trim().replace(',', '.');
  if (s === '') return 0;
  if (!/^\d+(\.\d+)?$/.test(s)) return NaN;
  const v = Number(s);
  return v <= max ? v : NaN;
}

export class TimedRun {
  // hooks: start(), stop(), onChange(state) ; clock: { now(), setTimeout, clearTimeout }
  constructor(hooks, clock = { now: () => Date.now(), setTimeout: (f, ms) => setTimeout(f, ms), clearTimeout: (t) => clearTimeout(t) }) {
    this.hooks = hooks;
    this.clock = clock;
    this.countdown = 0; // seconds
    this.duration = 0; // seconds, 0 = until stopped by hand
    this.state = 'idle';
    this.deadline = 0;
    this.timer = null;
    this.awaiting = false; // a duration waiting for the start trigger
  }

  setOptions({ countdown = this.countdown, duration = this.duration } = {}) {
    if (!(countdown >= 0) || !(duration >= 0)) throw new RangeError('countdown and duration must be 0 or more seconds');
    this.countdown = countdown;
    this.duration = duration;
  }

  // Seconds left of the countdown or of the run (null when neither runs).
  remaining() {
    if (this.state === 'countdown' || (this.state === 'running' && this.deadline > 0)) {
      return Math.max(0, (this.deadline - this.clock.now()) / 1000);
    }
    return null;
  }

  change() {
    this.hooks.onChange?.(this.state);
  }

  // The record button while idle: count down, or start at once.
  begin() {
    if (this.state !== 'idle') return false;
    if (this.countdown > 0) {
      this.state = 'countdown';
      this.deadline = this.clock.now() + this.countdown * 1000;
      this.timer = this.clock.setTimeout(() => this.fire(), this.countdown * 1000);
      this.change();
    } else {
      this.fire();
    }
    return true;
  }

  fire() {
    this.timer = null;
    this.state = 'starting';
    this.change();
    this.hooks.start();
  }

  // Cancels a countdown (the button pressed again, Escape). Returns whether one was running.
  cancel() {
    if (this.state !== 'countdown' && this.state !== 'starting') return false;
    if (this.timer !== null) this.clock.clearTimeout(this.timer);
    this.timer = null;
    this.state = 'idle';
    this.change();
    return true;
  }

  // The kit confirmed the start (also when started elsewhere: then no duration applies
  // unless this page started it). With `awaitTrigger` the duration is counted from the
  // start trigger's moment instead (see triggered).
  started({ awaitTrigger = false } = {}) {
    const ours = this.state === 'starting';
    this.state = 'running';
    this.deadline = 0;
    this.awaiting = ours && this.duration > 0 && awaitTrigger;
    if (ours && this.duration > 0 && !awaitTrigger) this.stopAfter(this.duration);
    this.change();
  }

  // The start trigger fired `late` seconds ago: the duration runs from that moment.
  triggered(late = 0) {
    if (!this.awaiting || this.state !== 'running') return;
    this.awaiting = false;
    this.stopAfter(Math.max(0, this.duration - Math.max(0, late)));
    this.change();
  }

  stopAfter(seconds) {
    this.deadline = this.clock.now() + seconds * 1000;
    this.timer = this.clock.setTimeout(() => { this.timer = null; this.hooks.stop(); }, seconds * 1000);
  }

  // The kit stopped (by the timer, by hand or by a fault).
  stopped() {
    if (this.timer !== null) this.clock.clearTimeout(this.timer);
    this.timer = null;
    this.awaiting = false;
    this.state = 'idle';
    this.change();
  }

  // The start failed: back to idle without a pending stop.
  failed() {
    this.stopped();
  }
}

// The start trigger: armed at Record (the run is recorded from then), it watches one value
// of the running recording and fires once when the value crosses the threshold, with the
// trigger moment in run time. The newest stretch of the value is read again and again;
// each read reaches back over the time since the previous one, so that no pair of samples
// around a crossing falls between two reads.
//
// hooks: read(secondsBack) -> Promise<{ time, values } | null> (the newest samples of the
//        value; null before there are any), fired(triggerTime), failed(error) ; findTrigger
//        of trigger.js ; clock as for TimedRun. fired gets the trigger moment and the
//        newest sample time read (how late the crossing was seen, in run time).
export class TriggerWatch {
  constructor(hooks, findTrigger, { pollMs = 100, clock = { now: () => Date.now(), setTimeout: (f, ms) => setTimeout(f, ms), clearTimeout: (t) => clearTimeout(t) } } = {}) {
    this.hooks = hooks;
    this.findTrigger = findTrigger;
    this.pollMs = pollMs;
    this.clock = clock;
    this.state = 'off'; // 'off' | 'armed' | 'fired'
    this.options = null;
    this.timer = null;
    this.lastRead = 0;
    this.triggerTime = null;
  }

  // options: { threshold, direction, preTrigger, source } as checkTriggerOptions gives them.
  arm(options) {
    this.disarm();
    this.options = options;
    this.state = 'armed';
    this.triggerTime = null;
    this.reported = false;
    this.lastRead = this.clock.now();
    this.schedule();
  }

  disarm() {
    if (this.timer !== null) this.clock.clearTimeout(this.timer);
    this.timer = null;
    if (this.state === 'armed') this.state = 'off';
  }

  // After the run: back to off, forgetting the trigger.
  reset() {
    this.disarm();
    this.state = 'off';
    this.triggerTime = null;
  }

  schedule() {
    this.timer = this.clock.setTimeout(() => { this.timer = null; this.poll(); }, this.pollMs);
  }

  async poll() {
    if (this.state !== 'armed') return;
    const now = this.clock.now();
    // One second at least, and twice the time since the previous read (a slow reply).
    const back = Math.min(60, Math.max(1, (2 * (now - this.lastRead)) / 1000 + 0.5));
    this.lastRead = now;
    try {
      const series = await this.hooks.read(back);
      if (this.state !== 'armed') return;
      const at = series && series.time.length > 1
        ? this.findTrigger(series.time, series.values, { threshold: this.options.threshold, direction: this.options.direction })
        : null;
      if (at !== null) {
        this.state = 'fired';
        this.triggerTime = at;
        this.hooks.fired(at, series.time[series.time.length - 1]);
        return;
      }
    } catch (err) {
      // Reported once; watching goes on (a slow or lost reply does not end the run).
      if (this.state === 'armed' && !this.reported) {
        this.reported = true;
        this.hooks.failed?.(err);
      }
    }
    if (this.state === 'armed') this.schedule();
  }
}
