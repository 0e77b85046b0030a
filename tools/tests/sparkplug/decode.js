// Decodes Sparkplug B payloads with the independent npm package `sparkplug-payload`: one payload in
// hex per line on stdin, one JSON object per line on stdout (64-bit integers as numbers when they
// are exact, else as decimal strings). Exit 3 when the package is not installed.
'use strict';
let sparkplug;
try {
  sparkplug = require('sparkplug-payload').get('spBv1.0');
} catch (e) {
  process.stderr.write('sparkplug-payload is not installed (npm ci in tools/tests/sparkplug)\n');
  process.exit(3);
}

function plain(v) {
  if (v === null || typeof v !== 'object') return v;
  if (typeof v.toNumber === 'function' && 'low' in v && 'high' in v) {
    const s = v.toString();
    return Number.isSafeInteger(Number(s)) ? Number(s) : s;
  }
  if (Array.isArray(v)) return v.map(plain);
  if (v instanceof Uint8Array) return Buffer.from(v).toString('hex');
  const out = {};
  for (const k of Object.keys(v)) out[k] = plain(v[k]);
  return out;
}

const lines = require('fs').readFileSync(0, 'utf8').split('\n').filter((l) => l.length > 0);
for (const line of lines) {
  try {
    process.stdout.write(JSON.stringify(plain(sparkplug.decodePayload(Buffer.from(line, 'hex')))) + '\n');
  } catch (e) {
    process.stdout.write(JSON.stringify({ error: String(e) }) + '\n');
  }
}
