// Drives headless Chromium over its DevTools pipe to look at the preview: loads a page,
// runs page scripts step by step and saves screenshots; page errors are printed.
//
//   node preview/shoot.js <steps.json> <output folder>
// steps.json: { "size": [w, h], "url": "...", "steps": [ { "eval": "js", "wait": ms, "shot": "name.png" }, ... ] }
import { spawn } from 'node:child_process';
import { readFileSync, writeFileSync, mkdtempSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { tmpdir } from 'node:os';

const [plan, out] = [JSON.parse(readFileSync(process.argv[2], 'utf8')), process.argv[3]];
const profile = mkdtempSync(join(tmpdir(), 'korvex-shoot-'));
const browser = spawn(process.env.KORVEX_CHROMIUM ?? 'chromium', [
  '--headless=new', '--remote-debugging-pipe', ...(process.getuid?.() === 0 ? ['--no-sandbox'] : []), `--user-data-dir=${profile}`, '--no-first-run',
  '--hide-scrollbars', `--window-size=${plan.size[0]},${plan.size[1]}`, 'about:blank',
], { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
const toBrowser = browser.stdio[3];
const fromBrowser = browser.stdio[4];
let id = 0;
const waiting = new Map();
const listeners = [];
let buffer = '';
fromBrowser.on('data', (chunk) => {
  buffer += chunk.toString();
  let end;
  while ((end = buffer.indexOf('\0')) >= 0) {
    const msg = JSON.parse(buffer.slice(0, end));
    buffer = buffer.slice(end + 1);
    if (msg.id && waiting.has(msg.id)) { waiting.get(msg.id)(msg); waiting.delete(msg.id); }
    else for (const fn of listeners) fn(msg);
  }
});
function send(method, params = {}, sessionId) {
  return new Promise((resolve, reject) => {
    const n = ++id;
    waiting.set(n, (m) => (m.error ? reject(new Error(`${method}: ${m.error.message}`)) : resolve(m.result)));
    toBrowser.write(`${JSON.stringify({ id: n, method, params, sessionId })}\0`);
  });
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const timer = setTimeout(() => { console.error('shoot: timed out'); browser.kill(); process.exit(2); }, 120000);

try {
  const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
  const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
  listeners.push((m) => {
    if (m.sessionId !== sessionId) return;
    if (m.method === 'Runtime.exceptionThrown') console.log('page exception:', m.params.exceptionDetails.exception?.description ?? m.params.exceptionDetails.text);
    if (m.method === 'Runtime.consoleAPICalled' && ['error', 'warning'].includes(m.params.type)) {
      console.log(`console.${m.params.type}:`, m.params.args.map((a) => a.value ?? a.description).join(' '));
    }
  });
  await send('Runtime.enable', {}, sessionId);
  await send('Page.enable', {}, sessionId);
  await send('Emulation.setDeviceMetricsOverride', { width: plan.size[0], height: plan.size[1], deviceScaleFactor: 1, mobile: false }, sessionId);
  await send('Page.navigate', { url: plan.url }, sessionId);
  await sleep(plan.settle ?? 1500);
  for (const step of plan.steps) {
    if (step.eval) {
      const r = await send('Runtime.evaluate', { expression: step.eval, awaitPromise: true, returnByValue: true }, sessionId);
      if (r.exceptionDetails) console.log('step failed:', step.eval.slice(0, 80), r.exceptionDetails.exception?.description);
      else if (r.result?.value !== undefined) console.log('=>', JSON.stringify(r.result.value).slice(0, 400));
    }
    if (step.key) {
      for (const type of ['keyDown', 'keyUp']) {
        await send('Input.dispatchKeyEvent', { type, key: step.key, code: step.code ?? step.key, text: type === 'keyDown' ? step.text : undefined, windowsVirtualKeyCode: step.vk }, sessionId);
      }
    }
    if (step.wait) await sleep(step.wait);
    if (step.shot) {
      const { data } = await send('Page.captureScreenshot', { format: 'png' }, sessionId);
      writeFileSync(join(out, step.shot), Buffer.from(data, 'base64'));
      console.log('saved', step.shot);
    }
  }
} finally {
  clearTimeout(timer);
  browser.kill();
  // The browser writes its profile until it has exited.
  await new Promise((r) => (browser.exitCode !== null ? r() : browser.once('exit', r)));
  rmSync(profile, { recursive: true, force: true, maxRetries: 3 });
}
