// A stand-in for the host's script object: records requests and lets a test answer them
// the way the host does (the reply's name, then byte strings).
import { serialize } from '../client/lib/bson.js';

export function bytesToByteString(bytes) {
  let s = '';
  for (const b of bytes) s += String.fromCharCode(b);
  return s;
}

export function docToByteString(doc) {
  return bytesToByteString(serialize(doc));
}

export function floatsToByteString(numbers) {
  const f = new Float32Array(numbers);
  return bytesToByteString(new Uint8Array(f.buffer));
}

export class FakeApp {
  constructor() {
    this.sent = [];
    this.callbacks = new Map();
  }

  sendMessage(name, args) {
    if (typeof name !== 'string' || name === '') throw new Error('Invalid method arguments');
    this.sent.push({ name, args });
  }

  setMessageCallback(name, fn) {
    if (typeof name !== 'string' || typeof fn !== 'function') throw new Error('Invalid method arguments');
    if (!this.callbacks.has(name)) this.callbacks.set(name, fn); // first registration stays
  }

  removeMessageCallback(name) {
    return this.callbacks.delete(name);
  }

  // Answers like the host: the callback gets the name and one or two byte strings.
  reply(name, doc, floats) {
    const fn = this.callbacks.get(name);
    if (!fn) return false;
    const args = [name, typeof doc === 'string' ? doc : docToByteString(doc)];
    if (floats !== undefined) args.push(typeof floats === 'string' ? floats : floatsToByteString(floats));
    return fn(...args);
  }
}

export const tick = () => new Promise((r) => setImmediate(r));
