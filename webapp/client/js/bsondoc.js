// BSON documents of the replies -> plain objects, and page documents -> bytes.
import { deserialize, serialize } from '../lib/bson.js';
import { PayloadError, byteStringToBytes, bytesToByteList } from './bytes.js';

// Decodes one whole BSON document. The declared length must match the bytes exactly: a
// short or padded document means the reply was damaged, and decoding it anyway could show
// half a report as if it were complete.
export function decodeDocument(bytes) {
  if (!(bytes instanceof Uint8Array)) throw new PayloadError('document is not bytes');
  if (bytes.length < 5) throw new PayloadError(`document of ${bytes.length} bytes is too short`);
  const declared = (bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (bytes[3] << 24)) >>> 0;
  if (declared !== bytes.length) {
    throw new PayloadError(`document declares ${declared} bytes but ${bytes.length} arrived`);
  }
  if (bytes[bytes.length - 1] !== 0) throw new PayloadError('document does not end with a zero byte');
  try {
    return deserialize(bytes, { promoteLongs: true, promoteValues: true, validation: { utf8: false } });
  } catch (err) {
    throw new PayloadError(`document cannot be decoded: ${err.message}`);
  }
}

export function decodeDocumentString(str) {
  return decodeDocument(byteStringToBytes(str));
}

// Documents whose elements are keyed "0", "1", ... are arrays whether they were written
// as BSON arrays or as embedded documents; the page reads both the same way.
export function asArray(value) {
  if (Array.isArray(value)) return value;
  if (value === null || typeof value !== 'object') return [];
  const out = [];
  for (let i = 0; String(i) in value; i++) out.push(value[i]);
  return out;
}

// Encodes a document for "korvex_calibrationManagement": a plain array of byte values.
export function encodeDocumentToByteList(obj) {
  return bytesToByteList(serialize(obj));
}
