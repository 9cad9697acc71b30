// The program as a user starts it, measured from outside: the real Korvex (headless) with the
// simulated kit, driven through its browser with the browser tests' harness.
//
//   BM_StartupToFirstPaint       from starting Korvex to the application page's first
//                                contentful paint (the page's own paint timing), per start
//   BM_RecordToFirstLiveGraph    from pressing Record to the first graph in sight holding
//                                live data (checked every animation frame in the page)
//   BM_PageMemoryLiveGraphs      the page's JS heap (after a forced collection) while the two
//                                heaviest configurations (45 and 38) stream with live graphs,
//                                sampled every 20 s over a few minutes, and its growth per
//                                minute (least squares over the samples after the first third)
//
// Started by the benchmark suite like a Google Benchmark program (--benchmark_out=FILE) and
// writes the same JSON shape. KORVEX_PAGE_BENCH_STARTS (default 3) and
// KORVEX_PAGE_BENCH_MINUTES (default 3; 0 leaves the memory out) change the work; KORVEX_BUILD_BIN names the
// programs' folder.
import fs from 'node:fs';
import os from 'node:os';

const { Kit, missingPieces, until, sleep } = await import('../../tests/browser/harness.js');
const { chooseConfiguration } = await import('../../tests/browser/pagesteps.js');

const STARTS = Number(process.env.KORVEX_PAGE_BENCH_STARTS || 3);
const MINUTES = Number(process.env.KORVEX_PAGE_BENCH_MINUTES || 3);
const SAMPLE_S = 20;

const outArg = process.argv.find((a) => a.startsWith('--benchmark_out='));
const outFile = outArg?.slice('--benchmark_out='.length);

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const n = sorted.length;
  return n % 2 ? sorted[(n - 1) / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
};

function result(name, iterations, timeMs, counters, error) {
  const entry = { name, run_name: name, run_type: 'iteration', iterations, real_time: timeMs,
                  cpu_time: timeMs, time_unit: 'ms', ...counters };
  if (error) Object.assign(entry, { error_occurred: true, error_message: error });
  const shown = Object.entries(counters).map(([k, v]) => `${k}=${Number(v).toPrecision(4)}`).join(' ');
  console.log(`${name.padEnd(34)} ${error ? `ERROR OCCURRED: '${error}'` : `${timeMs.toFixed(1)} ms ${shown}`}`);
  return entry;
}

async function whenPageReady(kit) {
  await kit.page.waitForSelector('#kit .kit-dongle.ok', { timeout: 15000 });
  await until(() => kit.page.locator('#kit .kit-slot.ok').count().then((n) => n === 2),
    { timeout: 15000, what: 'two connected remotes' });
}

// Program start to first contentful paint of the application page, in wall-clock ms.
async function firstPaint(kit) {
  const paint = await until(() => kit.page.evaluate(() => {
    const entry = performance.getEntriesByName('first-contentful-paint')[0] ??
                  performance.getEntriesByName('first-paint')[0];
    return entry ? performance.timeOrigin + entry.startTime : 0;
  }), { timeout: 10000, what: 'the first paint' });
  return paint - kit.hostStartedAt;
}

// Presses Record and times, in the page, the first animation frame with live data in a graph
// in sight.
async function recordToFirstGraph(page) {
  await page.locator('#record:not([disabled])').waitFor({ timeout: 8000 });
  return page.evaluate(() => new Promise((resolve) => {
    const t0 = performance.now();
    document.getElementById('record').click();
    const check = () => {
      for (const g of window.korvex.graphs.graphs.values()) {
        if (g.visible && g.plot && g.plot.data[0]?.length > 0) return resolve(performance.now() - t0);
      }
      if (performance.now() - t0 > 20000) return resolve(-1);
      requestAnimationFrame(check);
    };
    requestAnimationFrame(check);
  }));
}

async function startups() {
  const paints = [];
  const graphs = [];
  for (let i = 0; i < STARTS; i++) {
    const kit = await Kit.start({ name: `page-bench-${i}` });
    try {
      paints.push(await firstPaint(kit));
      await whenPageReady(kit);
      await chooseConfiguration(kit.page, 1, 3);
      await chooseConfiguration(kit.page, 2, 4);
      const ms = await recordToFirstGraph(kit.page);
      if (ms < 0) throw new Error('no live graph within 20 s of Record');
      graphs.push(ms);
    } finally {
      await kit.stop();
    }
  }
  return [
    result('BM_StartupToFirstPaint', paints.length, median(paints),
      { median_ms: median(paints), best_ms: Math.min(...paints), worst_ms: Math.max(...paints) }),
    result('BM_RecordToFirstLiveGraph', graphs.length, median(graphs),
      { median_ms: median(graphs), best_ms: Math.min(...graphs), worst_ms: Math.max(...graphs) }),
  ];
}

async function liveMemory() {
  if (!(MINUTES > 0)) return [];
  const kit = await Kit.start({ name: 'page-bench-memory' });
  try {
    const page = kit.page;
    await whenPageReady(kit);
    await chooseConfiguration(page, 1, 45);
    await chooseConfiguration(page, 2, 38);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Performance.enable');
    const sample = async () => {
      await cdp.send('HeapProfiler.collectGarbage');
      const { metrics } = await cdp.send('Performance.getMetrics');
      const m = Object.fromEntries(metrics.map(({ name, value }) => [name, value]));
      const elements = await page.evaluate(() => document.getElementsByTagName('*').length);
      return { heap: m.JSHeapUsedSize / 2 ** 20, nodes: m.Nodes, elements, listeners: m.JSEventListeners };
    };
    const before = await sample();
    const started = performance.now();
    if (await recordToFirstGraph(page) < 0) throw new Error('no live graph within 20 s of Record');
    const samples = [];
    const inSight = await page.evaluate(() => [...window.korvex.graphs.graphs.values()].filter((g) => g.visible).length);
    for (let t = SAMPLE_S; t <= MINUTES * 60; t += SAMPLE_S) {
      await sleep(started + t * 1000 - performance.now());
      samples.push({ minute: (performance.now() - started) / 60000, ...(await sample()) });
    }
    const points = await page.evaluate(() => Math.max(...[...window.korvex.graphs.graphs.values()].map((g) => g.plot?.data[0]?.length ?? 0)));
    await page.locator('#record.recording:not([disabled])').click({ timeout: 5000 });
    // Least-squares growth over the samples after the first third (the warm-up is over).
    const late = samples.slice(Math.floor(samples.length / 3));
    const mx = late.reduce((a, s) => a + s.minute, 0) / late.length;
    const my = late.reduce((a, s) => a + s.heap, 0) / late.length;
    const slope = late.reduce((a, s) => a + (s.minute - mx) * (s.heap - my), 0) /
                  late.reduce((a, s) => a + (s.minute - mx) ** 2, 0);
    const last = samples[samples.length - 1];
    console.log(`   heap (MB) every ${SAMPLE_S} s: ${samples.map((s) => s.heap.toFixed(2)).join(' ')}; ` +
                `nodes ${samples.map((s) => s.nodes).join(' ')}; elements in the document ` +
                `${samples.map((s) => s.elements).join(' ')}`);
    return [result('BM_PageMemoryLiveGraphs', samples.length, last.minute * 60000, {
      heap_before_MB: before.heap,
      heap_MB: last.heap,
      heap_max_MB: Math.max(...samples.map((s) => s.heap)),
      growth_MB_per_min: slope,
      // Where an hour of live graphs would end at that growth (never below what it holds now).
      hour_heap_MB: last.heap + Math.max(0, slope) * (60 - last.minute),
      minutes: last.minute,
      dom_nodes: last.nodes,
      document_elements: last.elements,
      listeners: last.listeners,
      graphs_in_sight: inSight,
      largest_graph_points: points,
    })];
  } finally {
    await kit.stop();
  }
}

const missing = missingPieces();
const benchmarks = [];
for (const [part, names] of [[startups, ['BM_StartupToFirstPaint', 'BM_RecordToFirstLiveGraph']],
                             [liveMemory, ['BM_PageMemoryLiveGraphs']]]) {
  try {
    if (missing) throw new Error(missing);
    benchmarks.push(...await part());
  } catch (err) {
    const why = String(err.message ?? err).split('\n')[0];
    for (const name of names) benchmarks.push(result(name, 0, 0, {}, why));
  }
}
const context = { date: new Date().toISOString(), host_name: os.hostname(), num_cpus: os.cpus().length,
                  load_avg: os.loadavg(), executable: process.argv[1] };
if (outFile) fs.writeFileSync(outFile, JSON.stringify({ context, benchmarks }, null, 1));
process.exit(benchmarks.some((b) => b.error_occurred) ? 1 : 0);
