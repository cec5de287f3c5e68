// One model through ONNX Runtime's CPU engine, measured the way
// vexa-bench measures ours: session creation, a first run, then the
// median of RUNS runs on one preloaded input. Prints one JSON line; writes
// the first output when asked, for checking.
//   node time_ort.js MODEL.onnx INPUT.raw RUNS THREADS DIMS [OUTPUT.raw]   (DIMS: 1,3,224,224)
'use strict';
const fs = require('fs');
const ort = require('onnxruntime-node');

async function main() {
  const [model, inputPath, runsText, threadsText, dimsText, outputPath] = process.argv.slice(2);
  if (!dimsText) {
    console.error('usage: node time_ort.js MODEL.onnx INPUT.raw RUNS THREADS DIMS [OUTPUT.raw]');
    process.exit(2);
  }
  const runs = Math.max(1, parseInt(runsText, 10));
  const threads = parseInt(threadsText, 10);
  const raw = fs.readFileSync(inputPath);
  const data = new Float32Array(raw.buffer, raw.byteOffset, raw.byteLength / 4);

  let t = process.hrtime.bigint();
  const session = await ort.InferenceSession.create(model, {
    intraOpNumThreads: threads, interOpNumThreads: 1, executionMode: 'sequential', graphOptimizationLevel: 'all',
  });
  const loadMs = Number(process.hrtime.bigint() - t) / 1e6;
  const dims = dimsText.split(',').map((d) => parseInt(d, 10));
  const feeds = { [session.inputNames[0]]: new ort.Tensor('float32', data, dims) };

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
  if (outputPath) {
    const out = first[session.outputNames[0]].data;
    fs.writeFileSync(outputPath, Buffer.from(out.buffer, out.byteOffset, out.byteLength));
  }
  console.log(JSON.stringify({ load_ms: loadMs, first_ms: firstMs, median_ms: times[Math.floor(times.length / 2)],
                               threads }));
}

main().catch((e) => {
  console.error(String(e));
  process.exit(1);
});
