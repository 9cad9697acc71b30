// Page-side client of the host's script object `app`.
//
// Replies carry only the request's name, so the client keeps at most one request of each
// name in flight: further requests of that name wait in a queue and are sent when the
// reply arrives. Requests with no reply are sent at once. Arguments are checked before
// sending, because the host drops a request with wrong arguments without a reply, which
// would otherwise leave the caller waiting.
import { PayloadError, byteStringToBytes, bytesToFloats } from './bytes.js';
import { decodeDocument } from './bsondoc.js';

const I = 'int';
const N = 'num';
const B = 'bool';
const S = 'text';
const L = 'list';

// name -> { args: argument kinds (trailing '?' entries optional), reply: does it answer,
//           data: does the reply carry a number buffer }
export const REQUESTS = {
  korvex_getSensorData1: { args: [I, I, N, N, B, I, I], optional: 2, reply: true, data: true },
  korvex_getSensorData2: { args: [I, I, I, N, N], reply: true, data: true },
  korvex_getHardwareState: { args: [], reply: true },
  korvex_getAcquisitionStack: { args: [], reply: true },
  korvex_sendCommand: { args: [I], reply: false },
  korvex_remotePowerOff: { args: [I], reply: false },
  korvex_pairRemote: { args: [I, I, I], reply: false },
  korvex_setFixedConfig: { args: [I, I], reply: true },
  korvex_setOutputConfig: { args: [I, I, I, I], reply: false },
  korvex_resetSensorOffset: { args: [I, I, N, N], reply: true },
  korvex_recalibrateSensor: { args: [I, I], reply: true },
  korvex_exportData: { args: [I, I, S], reply: true },
  korvex_startData: { args: [], reply: false },
  korvex_stopData: { args: [], reply: false },
  korvex_stackAcquisition: { args: [], reply: false },
  korvex_deleteAcquisition: { args: [], reply: true },
  korvex_acquisitionManagement: { args: [I, S], optional: 1, reply: true },
  korvex_calibrationManagement: { args: [I, L], optional: 1, reply: true },
  korvex_broadcast: { args: [S, S], optional: 1, reply: false },
  // Answered by the host itself: run names and notes beside the work files.
  korvex_runNotes: { args: [I, S, S], reply: true },
};

export class RequestError extends Error {
  constructor(message) {
    super(message);
    this.name = 'RequestError';
  }
}

const INT32_MIN = -2147483648;
const INT32_MAX = 2147483647;

function checkArg(kind, value) {
  switch (kind) {
    case I: return Number.isInteger(value) && value >= INT32_MIN && value <= INT32_MAX;
    case N: return typeof value === 'number' && Number.isFinite(value);
    case B: return typeof value === 'boolean';
    case S: return typeof value === 'string';
    case L: return Array.isArray(value) && value.every((b) => Number.isInteger(b) && b >= 0 && b <= 255);
    default: return false;
  }
}

export function checkRequest(name, args) {
  const spec = REQUESTS[name];
  if (!spec) throw new RequestError(`unknown request ${name}`);
  const min = spec.args.length - (spec.optional ?? 0);
  if (args.length < min || args.length > spec.args.length) {
    throw new RequestError(`${name} takes ${min === spec.args.length ? min : `${min} to ${spec.args.length}`} arguments, got ${args.length}`);
  }
  args.forEach((value, i) => {
    if (!checkArg(spec.args[i], value)) {
      throw new RequestError(`${name}: argument ${i} should be ${spec.args[i]}, got ${JSON.stringify(value)}`);
    }
  });
  return spec;
}

export class DeviceClient {
  // app: the host's script object; options.timeoutMs bounds every wait for a reply.
  constructor(app, { timeoutMs = 10000, onError = null } = {}) {
    if (!app || typeof app.sendMessage !== 'function' || typeof app.setMessageCallback !== 'function') {
      throw new RequestError('the host script object "app" is not available');
    }
    this.app = app;
    this.timeoutMs = timeoutMs;
    this.onError = onError;
    this.channels = new Map(); // name -> { busy: entry|null, queue: [entry], registered }
  }

  // Fire-and-forget requests (no reply). Returns nothing; throws on bad arguments.
  send(name, args = []) {
    const spec = checkRequest(name, args);
    if (spec.reply) throw new RequestError(`${name} has a reply: use request()`);
    this.app.sendMessage(name, args);
  }

  // Requests with a reply. Resolves to { doc, data } (data: Float32Array or null).
  request(name, args = []) {
    let spec;
    try {
      spec = checkRequest(name, args);
      if (!spec.reply) throw new RequestError(`${name} has no reply: use send()`);
    } catch (err) {
      return Promise.reject(err);
    }
    const channel = this.channel(name);
    return new Promise((resolve, reject) => {
      channel.queue.push({ name, args, resolve, reject, timer: null });
      this.pump(name, channel);
    });
  }

  // How many requests of a name are in flight or waiting (0 when idle).
  pending(name) {
    const ch = this.channels.get(name);
    return ch ? (ch.busy ? 1 : 0) + ch.queue.length : 0;
  }

  channel(name) {
    let ch = this.channels.get(name);
    if (!ch) {
      ch = { busy: null, queue: [], registered: false };
      this.channels.set(name, ch);
    }
    if (!ch.registered) {
      // A registration is never replaced by a second one, so each name is registered once
      // with a dispatcher that looks up the request in flight.
      this.app.setMessageCallback(name, (replyName, docString, dataString) => {
        this.onReply(replyName, docString, dataString);
        return true;
      });
      ch.registered = true;
    }
    return ch;
  }

  pump(name, ch) {
    if (ch.busy || ch.draining || ch.queue.length === 0) return;
    const entry = ch.queue.shift();
    ch.busy = entry;
    entry.timer = setTimeout(() => this.timedOut(name, ch, entry), this.timeoutMs);
    try {
      this.app.sendMessage(name, entry.args);
    } catch (err) {
      clearTimeout(entry.timer);
      ch.busy = null;
      entry.reject(new RequestError(`${name} could not be sent: ${err.message ?? err}`));
      this.pump(name, ch);
    }
  }

  // No reply in time: give up on it, then wait a little before sending the next request of
  // that name, so that a late reply is dropped instead of being taken as the next answer.
  timedOut(name, ch, entry) {
    if (ch.busy !== entry) return;
    ch.busy = null;
    ch.draining = true;
    entry.reject(new RequestError(`no reply to ${name} within ${this.timeoutMs} ms`));
    ch.drainTimer = setTimeout(() => {
      ch.draining = false;
      this.pump(name, ch);
    }, Math.min(1000, this.timeoutMs));
  }

  onReply(name, docString, dataString) {
    const ch = this.channels.get(name);
    if (!ch) return;
    const entry = ch.busy;
    if (!entry) return; // late reply to a request that timed out: nobody waits for it
    clearTimeout(entry.timer);
    ch.busy = null;
    try {
      if (typeof docString !== 'string') throw new PayloadError(`${name} replied without a document`);
      const doc = decodeDocument(byteStringToBytes(docString));
      const data = typeof dataString === 'string' ? bytesToFloats(byteStringToBytes(dataString)) : null;
      entry.resolve({ doc, data });
    } catch (err) {
      entry.reject(err);
      if (this.onError) this.onError(err);
    }
    this.pump(name, ch);
  }

  // Releases the reply registrations (page unload).
  close() {
    for (const [name, ch] of this.channels) {
      if (ch.registered) this.app.removeMessageCallback(name);
      ch.registered = false;
      clearTimeout(ch.busy?.timer);
      clearTimeout(ch.drainTimer);
      ch.draining = false;
      for (const entry of [ch.busy, ...ch.queue].filter(Boolean)) entry.reject(new RequestError('client closed'));
      ch.busy = null;
      ch.queue = [];
    }
  }
}
