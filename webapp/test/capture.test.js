import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';
import { classifyLogLine, explainLogLine, LogStore } from '../client/js/logcapture.js';

const bootSource = readFileSync(new URL('../client/js/boot.js', import.meta.url), 'utf8');

// Runs the page's boot script in a fresh global with a console that records what the real
// console would have printed.
function bootPage() {
  const printed = [];
  const context = { console: { log: (...a) => printed.push(a.join(' ')) } };
  context.window = context;
  vm.createContext(context);
  vm.runInContext(bootSource, context);
  // The library's scripts run as plain script text in the page.
  const run = (script) => vm.runInContext(script, context);
  return { context, printed, run };
}

test('log, error and warning lines are told apart and keep their text', () => {
  assert.deepEqual(classifyLogLine('** ERROR => HardwareAPI::start_data_acquisition - Remote not configured'),
    { level: 'error', text: 'HardwareAPI::start_data_acquisition - Remote not configured', stamp: null });
  assert.equal(classifyLogLine('** WARNING => DataParser::listenLoop - Command not implemented').level, 'warning');
  const info = classifyLogLine('2015-Mar-02 14:05:09.125000 KorvexAPI::getHardwareState');
  assert.deepEqual(info, { level: 'info', text: 'KorvexAPI::getHardwareState', stamp: '2015-Mar-02 14:05:09.125000' });
  assert.equal(classifyLogLine('2015-Mar-02 14:05:09 KorvexAPI::x').stamp, '2015-Mar-02 14:05:09');
  assert.equal(classifyLogLine('FileSystem::FileSystem - WorkFileDir /x').level, 'info');
  // "** ERROR" inside a line is not an error line.
  assert.equal(classifyLogLine('2015-Mar-02 14:05:09 text ** ERROR => x').level, 'info');
});

test('errors are explained in words, with the detail left in place', () => {
  assert.match(explainLogLine('HardwareAPI::start_data_acquisition - Remote not configured'), /choose a configuration/);
  assert.match(explainLogLine('KorvexAPI::getSensorData - Sensor not defined for the this acquisition 2 8'), /not part of the current run/);
  assert.match(explainLogLine('Code 21 not defined'), /no run to discard/);
  assert.match(explainLogLine('DataParser::findRemote - No remote in pairing mode'), /pairing mode/);
  assert.match(explainLogLine('DataParser::findRemote - Remote 4779 already paired'), /already paired/);
  assert.equal(explainLogLine('Code 99 not defined'), null);
});

test('lines that arrive before the page is ready are kept, then delivered in order', () => {
  const { context, printed, run } = bootPage();
  run("console.log('2015-Mar-02 14:05:09.125000 KorvexAPI::startDataAcquisition')");
  run("console.log('** ERROR => HardwareAPI::start_data_acquisition - Remote not configured')");
  // The real console still gets every line (the host writes its console log from it).
  assert.equal(printed.length, 2);
  const store = new LogStore();
  const seen = [];
  store.subscribe((e) => seen.push(e.level));
  context.KorvexBoot.attachLog((line) => store.add(line));
  assert.deepEqual(seen, ['info', 'error']);
  run("console.log('** WARNING => DataParser::listenLoop - Command not implemented')");
  assert.deepEqual(seen, ['info', 'error', 'warning']);
  assert.deepEqual(store.counts, { error: 1, warning: 1, info: 1 });
});

test('a failing log panel does not break logging or the console', () => {
  const { context, printed, run } = bootPage();
  context.KorvexBoot.attachLog(() => { throw new Error('panel broken'); });
  assert.doesNotThrow(() => run("console.log('** ERROR => x')"));
  assert.deepEqual(printed, ['** ERROR => x']);
});

test('events are queued until the page attaches, and bad events do not throw into the page', () => {
  const { context, printed, run } = bootPage();
  run("KorvexEventHandler.sendEvent({ name: 'hardwareStateChanged' })");
  run("KorvexEventHandler.sendEvent({ name: 'findRemoteResult', args: 7 })");
  run('KorvexEventHandler.sendEvent(42)');
  const events = [];
  context.KorvexBoot.attachEvents((e) => events.push(e));
  assert.deepEqual(events.map((e) => [e.name, e.args]), [['hardwareStateChanged', undefined], ['findRemoteResult', 7]]);
  run("KorvexEventHandler.sendEvent({ name: 'repository', args: { closed: true } })");
  assert.equal(events[2].args.closed, true);
  const lines = [];
  context.KorvexBoot.attachLog((line) => lines.push(line));
  assert.deepEqual(lines, ['** WARNING => page received an event without a name']);
  assert.equal(printed.length, 0);
  context.KorvexBoot.attachEvents(() => { throw new Error('boom'); });
  assert.doesNotThrow(() => run("KorvexEventHandler.sendEvent({ name: 'dataStarted' })"));
});

test('the history is bounded, however long the page runs', () => {
  const store = new LogStore(100);
  for (let i = 0; i < 1000; i++) store.add(i % 10 ? `line ${i}` : `** ERROR => e${i}`);
  assert.equal(store.entries.length, 100);
  assert.equal(store.entries[99].text, 'line 999');
  assert.equal(store.counts.error, 100);
  store.clear();
  assert.equal(store.entries.length, 0);
});
