// Reading a corpus model's inputs for ONNX Runtime: float32 raw files,
// converted to each input's type.
'use strict';
const fs = require('fs');
const ort = require('onnxruntime-node');

function floats(path) {
  const raw = fs.readFileSync(path);
  return new Float32Array(raw.buffer, raw.byteOffset, raw.byteLength / 4);
}

// Feeds for a corpus description NAME.json (bench/corpus/export_corpus.py):
// every input from NAME.in<i>.raw beside it.
function corpusFeeds(jsonPath) {
  const spec = JSON.parse(fs.readFileSync(jsonPath));
  const base = jsonPath.slice(0, -'.json'.length);
  const feeds = {};
  spec.inputs.forEach((input, i) => {
    const values = floats(`${base}.in${i}.raw`);
    const data = input.type === 'int64' ? BigInt64Array.from(values, (v) => BigInt(Math.round(v)))
      : input.type === 'int32' ? Int32Array.from(values) : values;
    feeds[input.name] = new ort.Tensor(input.type, data, input.shape);
  });
  return feeds;
}

module.exports = { floats, corpusFeeds };
