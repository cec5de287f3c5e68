// One model through ONNX Runtime's CPU engine, measured the way
// vexa-bench measures ours: session creation, a first run, then the
// median of RUNS runs on one preloaded input. Prints one JSON line; writes
// the outputs when asked, for checking.
//   node time_ort.js MODEL.onnx INPUT.raw RUNS THREADS DIMS [OUTPUT.raw]   (DIMS: 1,3,224,224)
//   node time_ort.js MODEL.onnx NAME.json RUNS THREADS [OUTPUT_DIR]
// The second form reads a corpus description (bench/corpus/export_corpus.py):
// every input from NAME.in<i>.raw beside it (float32, converted to the
// input's type), every output written as OUTPUT_DIR/<name>.raw in float32.
'use strict';
const fs = require('fs');
const ort = require('onnxruntime-node');
const { floats, corpusFeeds } = require('./corpus_feeds');

async function main() {
  const [model, inputPath, runsText, threadsText, dimsText, outputPath] = process.argv.slice(2);
  if (!dimsText && !(inputPath || '').endsWith('.json')) {
    console.error('usage: node time_ort.js MODEL.onnx INPUT.raw RUNS THREADS DIMS [OUTPUT.raw]');
    process.exit(2);
  }
  const runs = Math.max(1, parseInt(runsText, 10));
  const threads = parseInt(threadsText, 10);
  const corpus = inputPath.endsWith('.json');

  let t = process.hrtime.bigint();
  const session = await ort.InferenceSession.create(model, {
    intraOpNumThreads: threads, interOpNumThreads: 1, executionMode: 'sequential', graphOptimizationLevel: 'all',
    logSeverityLevel: 3,
  });
  const loadMs = Number(process.hrtime.bigint() - t) / 1e6;
  let feeds = {};
  if (corpus) {
    feeds = corpusFeeds(inputPath);
  } else {
    const dims = dimsText.split(',').map((d) => parseInt(d, 10));
    feeds[session.inputNames[0]] = new ort.Tensor('float32', floats(inputPath), dims);
  }

  t = process.hrtime.bigint();
  const first = await session.run(feeds);
  const firstMs = Number(process.hrtime.bigint() - t) / 1e6;
  const times = [];
  for (let i = 0; i < runs; ++i) {
    t = process.hrtime.bigint();
    await session.run(feeds);
    times.push(Number(process.hrtime.bigint() - t) / 1e6);
  }
  times.sort((a, b) => a - b);
  const asFloats = (t) => (t.data instanceof Float32Array ? t.data : Float32Array.from(t.data, (v) => Number(v)));
  const outputTo = corpus ? dimsText : outputPath;
  if (outputTo && corpus) {
    for (const name of session.outputNames) {
      const out = asFloats(first[name]);
      const file = name.replace(/[^A-Za-z0-9._-]/g, '_');
      fs.writeFileSync(`${outputTo}/${file}.raw`, Buffer.from(out.buffer, out.byteOffset, out.byteLength));
    }
  } else if (outputTo) {
    const out = asFloats(first[session.outputNames[0]]);
    fs.writeFileSync(outputTo, Buffer.from(out.buffer, out.byteOffset, out.byteLength));
  }
  console.log(JSON.stringify({ load_ms: loadMs, first_ms: firstMs, median_ms: times[Math.floor(times.length / 2)],
                               threads }));
}

main().catch((e) => {
  console.error(String(e));
  process.exit(1);
});
