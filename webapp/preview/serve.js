// Serves the web application with a simulated kit in place of the host, for looking at
// the page in a browser during development:  node preview/serve.js [port] [client folder]
// Pages get preview/fake-host.js injected before anything else, as the host injects `app`.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { extname, join, normalize, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const port = Number(process.argv[2] ?? 8765);
const client = resolve(process.argv[3] ?? join(here, '..', 'client'));
// The same extensions and path characters as the program's own resource handler.
const TYPES = { html: 'text/html', js: 'application/javascript', css: 'text/css', png: 'image/png', svg: 'image/svg' };
const ALLOWED = /^[A-Za-z0-9_./+-]+$/;

createServer(async (req, res) => {
  const path = new URL(req.url, 'http://x').pathname.slice(1);
  try {
    if (path === 'fake-host.js') {
      res.writeHead(200, { 'content-type': TYPES.js });
      res.end(await readFile(join(here, 'fake-host.js')));
      return;
    }
    const rel = path.startsWith('client/') ? path.slice(7) : path;
    const ext = extname(rel).slice(1);
    if (!ALLOWED.test(rel) || rel.includes('..') || !TYPES[ext]) throw new Error('refused');
    let body = await readFile(normalize(join(client, rel)));
    if (ext === 'html') body = body.toString().replace('<head>', '<head>\n  <script src="/fake-host.js"></script>');
    res.writeHead(200, { 'content-type': TYPES[ext] });
    res.end(body);
  } catch {
    res.writeHead(404);
    res.end('not found');
  }
}).listen(port, '127.0.0.1', () => console.log(`preview on http://127.0.0.1:${port}/client/app.html`));
