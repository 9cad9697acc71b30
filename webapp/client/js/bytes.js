// Reply payloads reach the page as byte strings: one UTF-16 code unit per byte (0-255).
// These helpers turn them into bytes and numbers without trusting their length.

export class PayloadError extends Error {
  constructor(message) {
    super(message);
    this.name = 'PayloadError';
  }
}

// Byte string -> Uint8Array. A code unit above 255 cannot come from a byte: the string was
// not produced by the bridge (or was mangled on the way), so it is refused rather than
// silently truncated to its low byte.
export function byteStringToBytes(str) {
  if (typeof str !== 'string') throw new PayloadError('payload is not a byte string');
  const n = str.length;
  const out = new Uint8Array(n);
  for (let i = 0; i < n; i++) {
    const c = str.charCodeAt(i);
    if (c > 255) throw new PayloadError(`byte string holds character code ${c} at ${i}`);
    out[i] = c;
  }
  return out;
}

// Uint8Array (or array of byte values) -> plain array of integers, the form in which a
// document travels from the page to the library ("korvex_calibrationManagement").
export function bytesToByteList(bytes) {
  return Array.from(bytes, (b) => b & 0xff);
}

// Little-endian single-precision numbers -> Float32Array. A length that is not a multiple
// of 4 means the buffer was cut: refuse it instead of dropping the tail.
export function bytesToFloats(bytes) {
  if (!(bytes instanceof Uint8Array)) throw new PayloadError('number buffer is not bytes');
  if (bytes.length % 4 !== 0) {
    throw new PayloadError(`number buffer of ${bytes.length} bytes is not a whole number of floats`);
  }
  const n = bytes.length / 4;
  const out = new Float32Array(n);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let i = 0; i < n; i++) out[i] = view.getFloat32(i * 4, true);
  return out;
}

export function byteStringToFloats(str) {
  return bytesToFloats(byteStringToBytes(str));
}
