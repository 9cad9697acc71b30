// Copies the bundled browser libraries from node_modules into client/lib/ and writes
// client/lib/notices.js with their licence texts, so that the application runs offline.
// The resource handler serves only a few extensions (.js, .css, ...) and plain path
// characters, so every file is renamed to a served name here.
//
// The page has no bundler, so two small transformations make the remaining packages
// loadable as ES modules from relative paths:
//  - rewriteImports: bare import specifiers ('ml-matrix') become served names ('../ml-matrix.js');
//  - wrapCommonJs: a CommonJS or UMD file gets a module/exports pair and ES exports.
//
// Usage: node tools/copy-lib.js [destination folder]   (default: client/lib)

import { copyFileSync, mkdirSync, readFileSync, writeFileSync, existsSync, statSync,
  readdirSync, realpathSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '..');
const modules = join(root, 'node_modules');

// Rewrites the specifiers of static import/export ... from '...' statements through map;
// specifiers not in the map are left alone. Source-map comments are dropped (the maps are
// not copied).
export function rewriteImports(source, map) {
  return source
    .replace(/(\b(?:import|export)\b[^'";]*?\bfrom\s*)(['"])([^'"]+)\2/g,
      (all, head, quote, spec) => (spec in map ? `${head}${quote}${map[spec]}${quote}` : all))
    .replace(/^\/\/# sourceMappingURL=.*$/gm, '');
}

// Turns a CommonJS (or UMD) file into an ES module: the file runs with its own module and
// exports objects; module.exports becomes the default export and names lists the named
// exports to re-export from it (names that cannot be ES export names are skipped).
export function wrapCommonJs(source, names = []) {
  const body = source.replace(/^\/\/# sourceMappingURL=.*$/gm, '');
  let out = 'const module = { exports: {} };\nconst exports = module.exports;\n' + body + '\n';
  const named = names.filter((n) => /^[A-Za-z_$][\w$]*$/.test(n) && n !== 'default');
  if (named.length) out += `export const { ${named.join(', ')} } = module.exports;\n`;
  return out + 'export default module.exports;\n';
}

// source (below node_modules) -> served name, with an optional transformation
const lmImports = { 'ml-matrix': '../ml-matrix.js', 'is-any-array': '../is-any-array.js' };
const files = [
  ['uplot/dist/uPlot.esm.js', 'uPlot.esm.js'],
  ['uplot/dist/uPlot.min.css', 'uPlot.min.css'],
  ['bson/lib/bson.mjs', 'bson.js'],
  ['simple-statistics/dist/simple-statistics.mjs', 'simple-statistics.js'],
  ['fft.js/lib/fft.js', 'fft.js', (src) => wrapCommonJs(src)],
  ['is-any-array/lib/index.js', 'is-any-array.js', (src) => rewriteImports(src, {})],
  // The UMD build carries its own copies of is-any-array and ml-array-rescale/-min/-max.
  ['ml-matrix/matrix.umd.js', 'ml-matrix.js',
    (src) => wrapCommonJs(src, Object.keys(createRequire(import.meta.url)(
      join(modules, 'ml-matrix/matrix.umd.js'))))],
  ...(existsSync(join(modules, 'ml-levenberg-marquardt/lib'))
    ? readdirSync(join(modules, 'ml-levenberg-marquardt/lib'))
      .filter((f) => /^[a-z_]+\.js$/.test(f))
      .map((f) => [`ml-levenberg-marquardt/lib/${f}`, `levenberg-marquardt/${f}`,
        (src) => rewriteImports(src, lmImports)])
    : [['ml-levenberg-marquardt/lib/index.js', 'levenberg-marquardt/index.js']]),
];

// licenceFile, or readme plus a heading from which the licence text runs to the end.
const notices = [
  { name: 'uPlot', pkg: 'uplot', licenceFile: 'uplot/LICENSE' },
  { name: 'js-bson', pkg: 'bson', licenceFile: 'bson/LICENSE.md' },
  { name: 'simple-statistics', pkg: 'simple-statistics', licenceFile: 'simple-statistics/LICENSE' },
  { name: 'fft.js', pkg: 'fft.js', readme: 'fft.js/README.md', heading: '#### LICENSE' },
  { name: 'ml-levenberg-marquardt', pkg: 'ml-levenberg-marquardt',
    licenceFile: 'ml-levenberg-marquardt/LICENSE' },
  { name: 'ml-matrix', pkg: 'ml-matrix', licenceFile: 'ml-matrix/LICENSE' },
  { name: 'ml-array-rescale', pkg: 'ml-array-rescale', licenceFile: 'ml-array-rescale/LICENSE' },
  { name: 'ml-array-max', pkg: 'ml-array-max', licenceFile: 'ml-array-max/LICENSE' },
  { name: 'ml-array-min', pkg: 'ml-array-min', licenceFile: 'ml-array-min/LICENSE' },
  { name: 'is-any-array', pkg: 'is-any-array', licenceFile: 'is-any-array/LICENSE' },
];

function fail(message) {
  console.error(`copy-lib: ${message}`);
  console.error('copy-lib: run scripts/install-deps.sh (it runs "npm ci" in webapp/) first.');
  process.exit(1);
}

function writeIfChanged(path, text) {
  if (!existsSync(path) || readFileSync(path, 'utf8') !== text) writeFileSync(path, text);
}

function licenceText({ licenceFile, readme, heading }) {
  if (licenceFile) return readFileSync(join(modules, licenceFile), 'utf8');
  const text = readFileSync(join(modules, readme), 'utf8');
  const at = text.indexOf(heading);
  if (at < 0) fail(`no "${heading}" in ${readme}`);
  return text.slice(at + heading.length).trim() + '\n';
}

function main(dest) {
  if (!existsSync(modules)) fail(`${modules} is missing`);
  mkdirSync(dest, { recursive: true });

  for (const [from, to, transform] of files) {
    const src = join(modules, from);
    if (!existsSync(src)) fail(`${src} is missing`);
    const out = join(dest, to);
    mkdirSync(dirname(out), { recursive: true });
    if (transform) {
      writeIfChanged(out, transform(readFileSync(src, 'utf8')));
      continue;
    }
    // Skip unchanged files so that repeated builds do not touch time stamps.
    if (existsSync(out) && statSync(out).mtimeMs >= statSync(src).mtimeMs &&
        statSync(out).size === statSync(src).size) continue;
    copyFileSync(src, out);
  }

  const entries = notices.map((notice) => {
    const meta = JSON.parse(readFileSync(join(modules, notice.pkg, 'package.json'), 'utf8'));
    return { name: notice.name, version: meta.version, licence: meta.license,
      text: licenceText(notice) };
  });
  const body = '// Generated by tools/copy-lib.js: licence notices of the bundled libraries.\n' +
    `export const notices = ${JSON.stringify(entries, null, 1)};\n`;
  writeIfChanged(join(dest, 'notices.js'), body);
}

// Run as a program; imported (by the tests) it only provides the transformations.
if (process.argv[1] && realpathSync(process.argv[1]) === fileURLToPath(import.meta.url)) {
  main(resolve(process.argv[2] ?? join(root, 'client', 'lib')));
}
