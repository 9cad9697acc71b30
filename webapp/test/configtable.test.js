import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { FIXED_CONFIGS } from '../client/js/sensors.js';

// The library's table, written by the build (config_table_json); run through ctest, or set
// KORVEX_CONFIG_TABLE to the build's config-table.json.
test("the page's configuration table is the library's", () => {
  const file = process.env.KORVEX_CONFIG_TABLE;
  assert.ok(file && fs.existsSync(file), `the library's table is missing (KORVEX_CONFIG_TABLE=${file ?? ''})`);
  const library = JSON.parse(fs.readFileSync(file, 'utf8'));
  assert.deepEqual(Object.keys(FIXED_CONFIGS).map(Number).sort((a, b) => a - b),
    Object.keys(library).map(Number).sort((a, b) => a - b), 'configuration numbers');
  for (const [number, sensors] of Object.entries(library)) {
    assert.deepEqual(FIXED_CONFIGS[number], sensors, `configuration ${number}`);
  }
});
