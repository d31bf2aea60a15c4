// Tests of the built lockbox.node through Node.js; LOCKBOX_PATH names the module.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const LOCKBOX_PATH = process.env.LOCKBOX_PATH || path.resolve(__dirname, '../../build/lockbox.node');
const lb = require(LOCKBOX_PATH);

const MAGIC = 'VellumarkJSON';
const missing = (item) => `{\n\t"code" : 1,\n\t"content" : "Item \\"${item}\\" does not exist"\n}`;
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'lockbox-js-'));
test.after(() => fs.rmSync(tmp, { recursive: true, force: true }));

// The sealed text of printable ASCII, as JS characters (all sealed bytes < 0x80).
const sealAscii = (s) => MAGIC + [...s].map((c) => String.fromCharCode(c.charCodeAt(0) - 31)).join('');

test('exports the four functions in order', () => {
  assert.deepEqual(Object.keys(lb), ['writeLockbox', 'readLockbox', 'lockbox', 'decryptJSON']);
  for (const k of Object.keys(lb)) assert.equal(typeof lb[k], 'function');
});

test('lockbox of the empty string is the bare magic', () => {
  assert.equal(lb.lockbox({ content: '' }), '{\n\t"code" : 0,\n\t"content" : "VellumarkJSON"\n}');
});

test('lockbox seals and decryptJSON unseals printable ASCII', () => {
  const plain = '{"key": [1, 2.5, "text"]}';
  const out = JSON.parse(lb.lockbox({ content: plain }));
  assert.deepEqual(Object.keys(out), ['code', 'content']);
  assert.equal(out.code, 0);
  assert.equal(out.content, sealAscii(plain));
  assert.equal(lb.decryptJSON({ content: out.content }),
    '{\n\t"code" : 0,\n\t"content" : "{\\"key\\": [1, 2.5, \\"text\\"]}"\n}');
});

test('exact text of a sealed string with escapes', () => {
  // 'A' -> '"' (escaped), ' ' -> U+0001, '~' -> '_'
  assert.equal(lb.lockbox({ content: 'A ~' }), '{\n\t"code" : 0,\n\t"content" : "VellumarkJSON\\"\\u0001_"\n}');
});

test('already sealed text is refused, the 12-character prefix is not', () => {
  assert.equal(lb.lockbox({ content: MAGIC + 'abc' }),
    '{\n\t"code" : 1,\n\t"content" : "String is encrypted"\n}');
  const out = JSON.parse(lb.lockbox({ content: MAGIC.slice(0, 12) }));
  assert.equal(out.code, 0);
  assert.equal(out.content, sealAscii(MAGIC.slice(0, 12)));
});

test('decryptJSON without the leading magic', () => {
  const bad = '{\n\t"code" : 1,\n\t"content" : "Invalid input format"\n}';
  assert.equal(lb.decryptJSON({ content: '{"a":1}' }), bad);
  assert.equal(lb.decryptJSON({ content: 'x' + MAGIC }), bad);
  assert.equal(lb.decryptJSON({ content: '' }), bad);
  assert.equal(lb.decryptJSON({ content: MAGIC }), '{\n\t"code" : 0,\n\t"content" : ""\n}');
});

test('non-string items are used in their string form', () => {
  assert.equal(JSON.parse(lb.lockbox({ content: 12 })).content, sealAscii('12'));
  assert.equal(JSON.parse(lb.lockbox({ content: true })).content, sealAscii('true'));
  assert.equal(JSON.parse(lb.lockbox({ content: [1, 2] })).content, sealAscii('1,2'));
  assert.equal(JSON.parse(lb.lockbox({ content: { toString: () => 'obj' } })).content, sealAscii('obj'));
  assert.equal(JSON.parse(lb.lockbox({ content: null })).content, sealAscii('null'));
  assert.equal(JSON.parse(lb.lockbox({ content: undefined })).content, sealAscii('undefined'));
});

test('U+0000 cuts the item', () => {
  assert.equal(JSON.parse(lb.lockbox({ content: 'ab\u0000cd' })).content, sealAscii('ab'));
  assert.equal(lb.lockbox({ content: '\u0000abc' }), lb.lockbox({ content: '' }));
});

test('inherited items count', () => {
  const req = Object.create({ content: 'inherited' });
  assert.equal(JSON.parse(lb.lockbox(req)).content, sealAscii('inherited'));
});

test('missing items report the first missing one in row order', () => {
  assert.equal(lb.lockbox({}), missing('content'));
  assert.equal(lb.decryptJSON({ filepath: 'x' }), missing('content'));
  assert.equal(lb.readLockbox({ content: 'x' }), missing('filepath'));
  assert.equal(lb.writeLockbox({}), missing('filepath'));
  assert.equal(lb.writeLockbox({ content: 'x' }), missing('filepath'));
  assert.equal(lb.writeLockbox({ filepath: path.join(tmp, 'never') }), missing('content'));
  assert.equal(fs.existsSync(path.join(tmp, 'never')), false);
});

test('no argument or a non-object argument reads as a missing item', () => {
  for (const arg of [undefined, null, 5, 'content', true, Symbol('s')]) {
    assert.equal(lb.lockbox(arg), missing('content'));
    assert.equal(lb.writeLockbox(arg), missing('filepath'));
  }
  assert.equal(lb.lockbox(), missing('content'));
  assert.equal(lb.readLockbox(), missing('filepath'));
  assert.equal(lb.decryptJSON(), missing('content'));
  assert.equal(lb.writeLockbox(), missing('filepath'));
  // Functions and arrays are objects: their properties are items.
  const fn = () => {};
  fn.content = 'f';
  assert.equal(JSON.parse(lb.lockbox(fn)).content, sealAscii('f'));
  assert.equal(lb.lockbox([1]), missing('content'));
});

test("the caller's own exceptions propagate unchanged", () => {
  assert.throws(() => lb.lockbox({ content: Symbol('x') }), TypeError);
  assert.throws(() => lb.lockbox({ get content() { throw new RangeError('getter'); } }), /getter/);
  assert.throws(() => lb.lockbox({ content: { toString() { throw new Error('tostr'); } } }), /tostr/);
  const trap = new Proxy({}, { has() { throw new Error('trap'); } });
  assert.throws(() => lb.lockbox(trap), /trap/);
  // The module still works afterwards.
  assert.equal(lb.lockbox({ content: '' }), '{\n\t"code" : 0,\n\t"content" : "VellumarkJSON"\n}');
});

test('round trip through a file', () => {
  const file = path.join(tmp, 'data.lb');
  const plain = JSON.stringify({ name: 'lockbox', list: [1, 2, 3], nested: { ok: true } });
  assert.equal(lb.writeLockbox({ filepath: file, content: plain }),
    `{\n\t"code" : 0,\n\t"write" : ${plain.length}\n}`);
  const bytes = fs.readFileSync(file);
  assert.equal(bytes.length, 17 + plain.length);
  assert.equal(bytes.subarray(0, 13).toString('latin1'), MAGIC);
  assert.equal(bytes.readInt32LE(13), plain.length);
  assert.equal(bytes.subarray(17).toString('latin1'), sealAscii(plain).slice(13));
  const back = JSON.parse(lb.readLockbox({ filepath: file }));
  assert.deepEqual(back, { code: 0, content: plain });

  // Non-ASCII plain text survives the file round trip (plain bytes are UTF-8).
  const accents = 'caf\u00e9 \u65e5\u672c \ud83d\ude00';
  assert.equal(JSON.parse(lb.writeLockbox({ filepath: file, content: accents })).write,
    Buffer.byteLength(accents));
  assert.equal(JSON.parse(lb.readLockbox({ filepath: file })).content, accents);

  // The empty text makes a 17-byte file.
  assert.equal(lb.writeLockbox({ filepath: file, content: '' }), '{\n\t"code" : 0,\n\t"write" : 0\n}');
  assert.equal(fs.statSync(file).size, 17);
  assert.equal(lb.readLockbox({ filepath: file }), '{\n\t"code" : 0,\n\t"content" : ""\n}');
});

test('sealed content is not written to a file', () => {
  const file = path.join(tmp, 'sealed.lb');
  assert.equal(lb.writeLockbox({ filepath: file, content: MAGIC + '{}' }),
    '{\n\t"code" : 1,\n\t"content" : "String is encrypted"\n}');
  assert.equal(fs.existsSync(file), false);
});

test('unwritable and missing paths answer code 2', () => {
  const cannot = '{\n\t"code" : 2,\n\t"content" : "Cannot open file for writing"\n}';
  assert.equal(lb.writeLockbox({ filepath: path.join(tmp, 'no', 'dir', 'x.lb'), content: 'x' }), cannot);
  assert.equal(lb.writeLockbox({ filepath: tmp, content: 'x' }), cannot);
  assert.equal(lb.readLockbox({ filepath: path.join(tmp, 'absent.lb') }), cannot);
});

test('broken files answer Invalid input', () => {
  const file = path.join(tmp, 'broken.lb');
  const invalid = '{\n\t"code" : 1,\n\t"content" : "Invalid input"\n}';
  for (const bytes of [Buffer.from('not sealed at all'), Buffer.from(MAGIC + '\x05\x00'),
    Buffer.concat([Buffer.from(MAGIC), Buffer.from([0xff, 0xff, 0xff, 0xff]), Buffer.from('abc')]),
    Buffer.concat([Buffer.from(MAGIC), Buffer.from([9, 0, 0, 0]), Buffer.from('abc')])]) {
    fs.writeFileSync(file, bytes);
    assert.equal(lb.readLockbox({ filepath: file }), invalid);
  }
});

test('non-ASCII sealed bytes come back as \\u escapes of an ASCII JSON text', () => {
  // Plain bytes C3 A9 0A seal to A4 8A EB: the writer reads A4 8A as U+010A
  // and the cut-off three-byte lead EB as U+FFFD.
  const text = lb.lockbox({ content: '\u00e9\n' });
  assert.equal(text, '{\n\t"code" : 0,\n\t"content" : "VellumarkJSON\\u010a\\ufffd"\n}');
  assert.match(text, /^[\x00-\x7f]*$/);
  // Such sealed text does not unseal to the original after JSON.parse.
  const back = JSON.parse(lb.decryptJSON({ content: JSON.parse(text).content }));
  assert.equal(back.code, 0);
  assert.notEqual(back.content, '\u00e9\n');
});

test('loads in a worker thread too', async () => {
  const { Worker } = require('node:worker_threads');
  const code = `const { parentPort, workerData } = require('node:worker_threads');
    parentPort.postMessage(require(workerData).lockbox({ content: '' }));`;
  const worker = new Worker(code, { eval: true, workerData: LOCKBOX_PATH });
  const [message] = await require('node:events').once(worker, 'message');
  assert.equal(message, '{\n\t"code" : 0,\n\t"content" : "VellumarkJSON"\n}');
  await worker.terminate();
});
