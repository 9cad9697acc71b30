// A DevTools client attached to the host's browser the way the browser tests attach one:
// Playwright over the loopback debugging port, holding the page the host shows. It prints
// "attached" once it holds the page and stays until its standard input closes.
//
// usage: node attach_client.mjs PORT PLAYWRIGHT_CORE_DIR [URL_PREFIX]
//
// With KORVEX_ATTACH_DOMAINS (say "Runtime,Log") it is a bare client instead: one protocol
// connection to the page that enables only those domains, to find what each one costs.
import { createRequire } from 'node:module';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [port, playwrightDir, urlPrefix = 'http://res/'] = process.argv.slice(2);
const domains = process.env.KORVEX_ATTACH_DOMAINS;
const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function attachPlaywright() {
  const { chromium } = await import(pathToFileURL(path.join(playwrightDir, 'index.mjs')).href);
  const end = Date.now() + 20000;
  let browser;
  for (;;) {
    try {
      browser = await chromium.connectOverCDP(`http://127.0.0.1:${port}`, { timeout: 15000 });
      break;
    } catch (err) {
      if (Date.now() > end) throw err;
      await pause(100);
    }
  }
  const context = browser.contexts()[0];
  let page;
  while (!(page = context.pages().find((p) => p.url().startsWith(urlPrefix)))) {
    if (Date.now() > end) throw new Error(`no page at ${urlPrefix}`);
    await pause(100);
  }
  // What every browser test does first: a script evaluated in the page.
  await page.evaluate(() => document.readyState);
}

async function attachBare() {
  const { ws: WebSocket } = createRequire(import.meta.url)(path.join(playwrightDir, 'lib/utilsBundle.js'));
  const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
  const target = targets.find((t) => t.type === 'page' && t.url.startsWith(urlPrefix));
  const socket = new WebSocket(target.webSocketDebuggerUrl, { perMessageDeflate: false, maxPayload: 2 ** 28 });
  await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
  let id = 0;
  const waiting = new Map();
  socket.on('message', (data) => {
    const message = JSON.parse(data.toString());
    waiting.get(message.id)?.(message);
    waiting.delete(message.id);
  });
  const send = (method, params = {}) => new Promise((resolve) => {
    waiting.set(++id, resolve);
    socket.send(JSON.stringify({ id, method, params }));
  });
  for (const domain of domains.split(',').filter(Boolean)) await send(`${domain}.enable`);
}

await (domains === undefined ? attachPlaywright() : attachBare());
console.log('attached');
process.stdin.resume();
process.stdin.on('end', () => process.exit(0));
process.stdin.on('close', () => process.exit(0));
