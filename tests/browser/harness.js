// The kit as a user meets it: the simulated dongle, the Korvex program running headless
// with a loopback debugging port, and Playwright attached to the program's own browser.
// Every kit gets private runtime and documents folders, so runs never see each other or
// the user's files.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));

export const BIN = process.env.KORVEX_BUILD_BIN || path.resolve(here, '../../build/bin');
// Screenshots and figures of a run; ctest points this into the build folder.
export const ARTEFACTS = process.env.KORVEX_BROWSER_ARTEFACTS || path.join(os.tmpdir(), 'korvex-browser-artefacts');

const CHROMIUM_CANDIDATES = ['/usr/bin/chromium', '/usr/bin/chromium-browser', '/usr/bin/google-chrome'];

export function chromiumProgram() {
  if (process.env.KORVEX_CHROMIUM) return process.env.KORVEX_CHROMIUM;
  return CHROMIUM_CANDIDATES.find((p) => {
    try { fs.accessSync(p, fs.constants.X_OK); return true; } catch { return false; }
  }) ?? null;
}

// Why the kit cannot run here, or null when everything it needs is present.
export function missingPieces() {
  const missing = [];
  for (const program of ['Korvex', 'korvex-dongle-sim', 'EnumSer']) {
    if (!fs.existsSync(path.join(BIN, program))) missing.push(`${program} in ${BIN}`);
  }
  if (!fs.existsSync(path.join(BIN, 'client', 'app.html'))) missing.push(`the web application in ${BIN}/client`);
  if (!chromiumProgram()) missing.push('Chromium');
  return missing.length ? `missing: ${missing.join(', ')}` : null;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls fn until it returns something truthy; fails with what was last seen.
export async function until(fn, { timeout = 10000, interval = 100, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  let last;
  for (;;) {
    try {
      last = await fn();
      if (last) return last;
    } catch (err) {
      last = err;
    }
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what} (last: ${last})`);
    await sleep(interval);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.unref();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Lines of a child's output, with waits on them.
class LineReader {
  constructor(stream, keep) {
    this.lines = [];
    this.waiters = [];
    this.keep = keep;
    let pending = '';
    stream.setEncoding('utf8');
    stream.on('data', (chunk) => {
      pending += chunk;
      let eol;
      while ((eol = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, eol);
        pending = pending.slice(eol + 1);
        this.lines.push(line);
        if (this.keep) this.keep(line);
        for (const w of [...this.waiters]) w(line);
      }
    });
  }

  // The first line from index `from` on that matches.
  wait(pattern, { timeout = 10000, from = 0 } = {}) {
    const seen = this.lines.slice(from).find((l) => pattern.test(l));
    if (seen !== undefined) return Promise.resolve(seen);
    return new Promise((resolve, reject) => {
      const waiter = (line) => {
        if (!pattern.test(line)) return;
        clearTimeout(timer);
        this.waiters.splice(this.waiters.indexOf(waiter), 1);
        resolve(line);
      };
      const timer = setTimeout(() => {
        this.waiters.splice(this.waiters.indexOf(waiter), 1);
        reject(new Error(`no line matching ${pattern} within ${timeout} ms`));
      }, timeout);
      this.waiters.push(waiter);
    });
  }
}

function exited(child) {
  return child.exitCode !== null || child.signalCode !== null;
}

function waitExit(child, ms) {
  if (exited(child)) return Promise.resolve(true);
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), ms);
    child.once('exit', () => { clearTimeout(timer); resolve(true); });
  });
}

// Ends a child started in its own process group: a polite signal first, then by force,
// the whole group (the program's browser included).
async function stopChild(child, politeMs) {
  if (!child || exited(child)) return;
  try { process.kill(-child.pid, 'SIGTERM'); } catch { /* already gone */ }
  if (await waitExit(child, politeMs)) return;
  try { process.kill(-child.pid, 'SIGKILL'); } catch { /* already gone */ }
  await waitExit(child, 2000);
}

// Children still running when this process ends (a failed test, Ctrl-C) go with it.
const running = new Set();
function track(child) {
  running.add(child);
  child.once('exit', () => running.delete(child));
  return child;
}
process.once('exit', () => {
  for (const child of running) {
    try { process.kill(-child.pid, 'SIGKILL'); } catch { /* already gone */ }
  }
});
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.once(signal, () => process.exit(130));
}

export class SimulatedDongle {
  constructor(child) {
    this.child = child;
    this.stderr = '';
    this.out = new LineReader(child.stdout);
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (d) => { this.stderr = (this.stderr + d).slice(-4000); });
  }

  static async start(runtimeDir, args = []) {
    // --exit-on-eof: the simulator also ends when this process goes away.
    const child = spawn(path.join(BIN, 'korvex-dongle-sim'), ['--exit-on-eof', ...args], {
      env: { ...process.env, KORVEX_RUNTIME_DIR: runtimeDir },
      stdio: ['pipe', 'pipe', 'pipe'],
      detached: true,
    });
    track(child);
    const sim = new SimulatedDongle(child);
    const line = await Promise.race([
      sim.out.wait(/^port \/dev\//, { timeout: 10000 }),
      new Promise((_, reject) => child.once('exit', (code) => reject(new Error(`korvex-dongle-sim ended (${code}): ${sim.stderr}`)))),
    ]);
    sim.port = line.slice('port '.length);
    return sim;
  }

  // Sends a control line; resolves with the simulator's answer line when one matches.
  async control(line, answer = /./) {
    const from = this.out.lines.length;
    this.child.stdin.write(`${line}\n`);
    return this.out.wait(answer, { from, timeout: 5000 });
  }

  stop() {
    return stopChild(this.child, 3000);
  }
}

export class Kit {
  // simArgs: extra korvex-dongle-sim options; name: a label for the folders and artefacts;
  // hostEnv: extra environment of the program.
  static async start({ name = 'kit', simArgs = [], windowSize = '1400,1000', hostEnv = {} } = {}) {
    const kit = new Kit();
    kit.name = name;
    kit.root = fs.mkdtempSync(path.join(os.tmpdir(), `korvex-browser-${name}-`));
    kit.runtimeDir = path.join(kit.root, 'runtime');
    kit.documentsDir = path.join(kit.root, 'documents');
    kit.workFiles = path.join(kit.documentsDir, 'Korvex-WorkFiles');
    fs.mkdirSync(kit.runtimeDir, { recursive: true, mode: 0o700 });
    fs.mkdirSync(kit.documentsDir, { recursive: true });
    fs.mkdirSync(ARTEFACTS, { recursive: true });
    try {
      kit.sim = await SimulatedDongle.start(kit.runtimeDir, ['--seed', '7', ...simArgs]);
      await kit.startHost(windowSize, hostEnv);
    } catch (err) {
      await kit.stop();
      throw err;
    }
    return kit;
  }

  async startHost(windowSize, hostEnv = {}) {
    this.debugPort = await freePort();
    this.hostLog = '';
    // Wall-clock milliseconds, comparable with a page's performance.timeOrigin (start-up figures).
    this.hostStartedAt = performance.timeOrigin + performance.now();
    this.host = spawn(path.join(BIN, 'Korvex'), [
      '--headless', `--remote-debugging-port=${this.debugPort}`,
      `--window-size=${windowSize}`, '--lang=en-US',
    ], {
      env: {
        ...process.env,
        KORVEX_RUNTIME_DIR: this.runtimeDir,
        KORVEX_DOCUMENTS_DIR: this.documentsDir,
        KORVEX_PORT: '',
        KORVEX_CHROMIUM: chromiumProgram(),
        ...hostEnv,
      },
      stdio: ['ignore', 'pipe', 'pipe'],
      detached: true,
    });
    track(this.host);
    const keep = (d) => { this.hostLog = (this.hostLog + d).slice(-8000); };
    this.host.stdout.setEncoding('utf8');
    this.host.stderr.setEncoding('utf8');
    this.host.stdout.on('data', keep);
    this.host.stderr.on('data', keep);

    const endpoint = `http://127.0.0.1:${this.debugPort}`;
    await until(async () => {
      if (exited(this.host)) throw new Error(`Korvex ended early (${this.host.exitCode}): ${this.hostLog}`);
      const reply = await fetch(`${endpoint}/json/version`);
      return reply.ok;
    }, { timeout: 20000, what: 'the debugging port' }).catch((err) => {
      throw new Error(`${err.message}\n${this.hostLog}`);
    });
    // The browser's own list says when the application is showing; attaching only then keeps
    // the connection from meeting the window in the middle of its first navigation.
    const targets = async () => (await fetch(`${endpoint}/json/list`)).json();
    const isMain = (url) => url.startsWith('http://res/client/app.html');
    await until(async () => (await targets()).some((t) => t.type === 'page' && isMain(t.url)),
      { timeout: 15000, what: 'the application in the browser' }).catch(async (err) => {
      const shown = await targets().then((list) => list.map((t) => `${t.type} ${t.url}`).join(', '), (e) => e.message);
      throw new Error(`${err.message}; targets: ${shown}\n${this.hostLog}`);
    });
    this.browser = await chromium.connectOverCDP(endpoint, { timeout: 15000 });
    this.context = this.browser.contexts()[0];
    // Every step of these tests takes a second or two; a stuck one must fail, not linger.
    this.context.setDefaultTimeout(10000);
    this.page = await until(() => this.context.pages().find((p) => isMain(p.url())),
      { timeout: 15000, what: 'the main page' }).catch((err) => {
      const shown = this.context.pages().map((p) => p.url()).join(', ') || 'no page';
      throw new Error(`${err.message}; pages: ${shown}\n${this.hostLog}`);
    });
    await this.page.waitForFunction(() => window.korvex !== undefined, null, { timeout: 15000 });
  }

  // Ends the program as a user would and starts it again on the same work folder and kit.
  async restartHost(windowSize = '1400,1000', hostEnv = {}) {
    await stopChild(this.host, 8000);
    if (this.browser) {
      await Promise.race([this.browser.close().catch(() => {}), sleep(3000)]);
      this.browser = null;
    }
    await this.startHost(windowSize, hostEnv);
  }

  // Main-page helpers.
  evaluate(fn, arg) {
    return this.page.evaluate(fn, arg);
  }

  async screenshot(file, page = this.page) {
    const target = path.join(ARTEFACTS, file);
    await page.screenshot({ path: target });
    return target;
  }

  async stop() {
    // The program first, as a user would end it (it closes its pages and its browser),
    // then what is left of the connection.
    await stopChild(this.host, 8000);
    if (this.browser) {
      await Promise.race([this.browser.close().catch(() => {}), sleep(3000)]);
      this.browser = null;
    }
    if (this.sim) await this.sim.stop();
    if (this.root && !process.env.KORVEX_BROWSER_KEEP) fs.rmSync(this.root, { recursive: true, force: true });
  }
}
