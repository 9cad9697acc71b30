import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readdirSync, readFileSync, statSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { CATALOGUE, LANGUAGES } from '../client/js/catalogue.js';
import { t, setLanguage, placeholders, format } from '../client/js/i18n.js';
import { SENSORS, sensorInfo, axisDescriptions, dongleModeInWords, configurationTable } from '../client/js/sensors.js';
import { FACES } from '../client/js/calibration.js';
import { explainLogLine } from '../client/js/logcapture.js';

const client = join(dirname(fileURLToPath(import.meta.url)), '..', 'client');

function sources(dir) {
  return readdirSync(dir).flatMap((name) => {
    const p = join(dir, name);
    if (statSync(p).isDirectory()) return name === 'lib' ? [] : sources(p);
    return /\.(js|html)$/.test(name) ? [p] : [];
  });
}

test('every key is in every language, with the same placeholders and no empty text', () => {
  const codes = Object.keys(LANGUAGES);
  assert.deepEqual(Object.keys(CATALOGUE).sort(), codes.sort());
  assert.ok(codes.length >= 2);
  const keys = Object.keys(CATALOGUE.en);
  for (const code of codes) {
    const lang = CATALOGUE[code];
    assert.deepEqual(Object.keys(lang).filter((k) => !(k in CATALOGUE.en)), [], `${code}: keys English lacks`);
    for (const key of keys) {
      assert.equal(typeof lang[key], 'string', `${code} lacks ${key}`);
      assert.ok(lang[key].trim().length > 0, `${code}.${key} is empty`);
      assert.deepEqual(placeholders(lang[key]), placeholders(CATALOGUE.en[key]), `${code}.${key} placeholders`);
    }
  }
});

test('every key the pages name literally exists', () => {
  const used = new Set();
  for (const file of sources(client)) {
    const text = readFileSync(file, 'utf8');
    for (const m of text.matchAll(/\bt\('([\w.+-]+)'/g)) used.add(m[1]);
    for (const m of text.matchAll(/data-i18n(?:-title|-label)?="([\w.+-]+)"/g)) used.add(m[1]);
    for (const m of text.matchAll(/CalibrationError\('([\w.]+)'/g)) used.add(m[1]);
    for (const m of text.matchAll(/\['[^']*', '(why\.\d+)'\]/g)) used.add(m[1]);
  }
  assert.ok(used.size > 150, `only ${used.size} keys found`);
  const missing = [...used].filter((k) => !(k in CATALOGUE.en));
  assert.deepEqual(missing, []);
});

test('keys made at run time resolve in both languages', () => {
  for (const code of Object.keys(LANGUAGES)) {
    setLanguage(code);
    // A missing key shows itself: no text may look like a key.
    const looksLikeKey = (s) => /^[a-z]+(\.[\w+-]+)+$/.test(s);
    for (const type of Object.keys(SENSORS).map(Number)) {
      const info = sensorInfo(type);
      assert.ok(!looksLikeKey(info.title) && !looksLikeKey(info.measures), `${code} sensor ${type}`);
      for (const a of axisDescriptions(type, -1, 9)) assert.ok(!looksLikeKey(a.label), `${code} axis ${a.label}`);
      for (let axis = 0; axis < 9; axis++) {
        for (const a of axisDescriptions(type, axis, 1)) assert.ok(!looksLikeKey(a.label), `${code} ${type}/${axis}`);
      }
    }
    for (const f of FACES) assert.ok(!looksLikeKey(t(`cal.face.${f.id}`)));
    for (const level of ['error', 'warning']) assert.ok(!looksLikeKey(t(`log.${level}`)));
    assert.ok(!dongleModeInWords(31).split(', ').some(looksLikeKey));
    assert.ok(!looksLikeKey(explainLogLine('Code 21 not defined')));
    assert.ok(configurationTable().every((row) => !row.summary.includes('{')));
  }
  setLanguage('en');
});

test('placeholders are filled, unknown ones and missing keys stay visible', () => {
  assert.equal(format('{a} of {b}', { a: 1, b: 2 }), '1 of 2');
  assert.equal(format('{a} of {c}', { a: 1 }), '1 of {c}');
  assert.equal(t('no.such.key'), 'no.such.key');
  setLanguage('de');
  assert.equal(t('kit.remoteN', { n: 2 }), 'Sensorbox 2');
  setLanguage('xx');
  assert.equal(t('kit.remoteN', { n: 2 }), 'Remote 2');
  setLanguage('en');
});
