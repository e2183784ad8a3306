// usage: node ort_run.cjs MODEL IN.f32 N C H W OUT.f32 [...]
const ort = require('onnxruntime-node');
const fs = require('fs');
(async () => {
  const a = process.argv.slice(2);
  const session = await ort.InferenceSession.create(a[0], { intraOpNumThreads: 1 });
  for (let i = 1; i < a.length; i += 6) {
    const dims = a.slice(i + 1, i + 5).map(Number);
    const buf = fs.readFileSync(a[i]);
    const data = new Float32Array(buf.buffer, buf.byteOffset, buf.length / 4);
    const out = await session.run({ [session.inputNames[0]]: new ort.Tensor('float32', data, dims) });
    const t = out[session.outputNames[0]];
    console.log(a[i + 5], 'shape', t.dims.join(' '));
    fs.writeFileSync(a[i + 5], Buffer.from(t.data.buffer, t.data.byteOffset, t.data.byteLength));
  }
})().catch(e => { console.error(e); process.exit(1); });
