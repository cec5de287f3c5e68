// Where ONNX Runtime spends a corpus model's time, node by node, to set
// beside vexa-diagview's table of ours: mean microseconds per run of the
// slowest nodes (ONNX Runtime names a fused node after its output).
//   node profile_ort.js MODEL.onnx NAME.json THREADS [RUNS] [TOP]
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const ort = require('onnxruntime-node');
const { corpusFeeds } = require('./corpus_feeds');

async function main() {
  const [model, json, threadsText, runsText, topText] = process.argv.slice(2);
  if (!json) {
    console.error('usage: node profile_ort.js MODEL.onnx NAME.json THREADS [RUNS] [TOP]');
    process.exit(2);
  }
  const runs = Math.max(1, parseInt(runsText || '20', 10));
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ortprof-'));
  const session = await ort.InferenceSession.create(model, {
    intraOpNumThreads: parseInt(threadsText, 10), interOpNumThreads: 1, executionMode: 'sequential',
    graphOptimizationLevel: 'all', enableProfiling: true, profileFilePrefix: path.join(dir, 'p'), logSeverityLevel: 3,
  });
  const feeds = corpusFeeds(json);
  await session.run(feeds);  // the first run, left out below
  for (let i = 0; i < runs; ++i) await session.run(feeds);
  session.endProfiling();
  const file = fs.readdirSync(dir).map((f) => path.join(dir, f))[0];
  const events = JSON.parse(fs.readFileSync(file));
  fs.rmSync(dir, { recursive: true });
  const nodes = new Map();
  for (const e of events) {
    if (e.cat !== 'Node' || !e.name.endsWith('_kernel_time')) continue;
    const name = e.name.slice(0, -'_kernel_time'.length);
    const n = nodes.get(name) || { op: e.args.op_name, us: 0 };
    n.us += e.dur;
    nodes.set(name, n);
  }
  const total = [...nodes.values()].reduce((s, n) => s + n.us, 0);
  const rows = [...nodes.entries()].sort((a, b) => b[1].us - a[1].us).slice(0, parseInt(topText || '20', 10));
  console.log(`${'Node'.padEnd(50)} ${'Type'.padEnd(20)} ${'Mean us'.padStart(10)}  Share`);
  for (const [name, n] of rows) {
    console.log(`${name.padEnd(50)} ${n.op.padEnd(20)} ${(n.us / (runs + 1)).toFixed(1).padStart(10)}  ${(100 * n.us / total).toFixed(1)}%`);
  }
  console.log(`Total of the nodes: ${(total / (runs + 1) / 1000).toFixed(3)} ms per run`);
}

main().catch((e) => { console.error(e.message); process.exit(1); });
