// Cross-checks the FX simulator and velctl with node-fxplc, an independent FX client (it sends no
// ENQ): first raw reads and writes, then every device type node-fxplc names (X, Y, M, S, T, C, D):
// what velctl writes by device name node-fxplc reads back by the same name, and the reverse. Both
// go through the same simulator, each with its own map of names to addresses, so a map error on
// either side fails the check.
// Usage: node node_fxplc_check.js PORT_PATH VELCTL   (NODE_PATH must reach node-fxplc; velctl finds
// the port through VELDRV_COM1)
'use strict';
const { execFileSync } = require('child_process');
const { FXPLCClient, TransportSerial, RegisterDef, NumberType } = require('node-fxplc');

const [port, velctl] = process.argv.slice(2);

function check(what, got, want) {
  const g = typeof got === 'object' ? Buffer.from(got).toString('hex') : String(got);
  const w = typeof want === 'object' ? Buffer.from(want).toString('hex') : String(want);
  if (g !== w) throw new Error(`${what}: got ${g}, want ${w}`);
  console.log(`ok ${what}: ${g}`);
}

// One session of node-fxplc on the port, closed again before velctl opens it.
async function withPlc(work) {
  const transport = new TransportSerial({ path: port, baudRate: 9600, timeout: 1500 });
  const plc = new FXPLCClient(transport, { timeoutMs: 3000 });
  try {
    return await work(plc);
  } finally {
    plc.close();
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// velctl runs these command lines over one open; returns its standard output.
function velctlRun(lines) {
  console.log(`velctl run:\n  ${lines.join('\n  ')}`);
  return execFileSync(velctl, ['-q', 'run', '-'], { input: lines.join('\n') + '\n', encoding: 'utf8' });
}

// node-fxplc's bit of a device, as its own map places it (its bit image: X and Y at 0x0080 and 0x00A0
// with the digits taken ten to a byte, which is the octal numbering for two digits; S, T contacts and M
// eight to a byte). It writes bits with the force commands, which the plain commands do not include, so
// a bit is written here as its byte, read and written back.
async function writeBitAsByte(plc, name, value) {
  const [address, bit] = RegisterDef.parse(name).getBitImageAddress();
  const [old] = await plc.readBytes(address, 1);
  const byte = value ? old | (1 << bit) : old & ~(1 << bit);
  await plc.writeBytes(address, Buffer.from([byte]));
}

// Devices of every type node-fxplc names, each as velctl's type reads it. Left out, as node-fxplc's
// map does not have them: C contacts (no bit image), C200..C255 (it puts them 16 bits wide at
// 0x0A00 + 2n, not 32 bits at 0x0C00), M8000 and D8000 up, and X and Y of three digits (X100 and up:
// it takes the digits as decimal tens).
const velctlWrites = {
  bits: ['Y16', 'Y17', 'M100', 'M1023', 'S20', 'S999', 'T5'],
  numbers: [
    ['T7', 'u16', 1234, NumberType.WordUnsigned],
    ['C10', 'i16', -4321, NumberType.WordSigned],
    ['D100', 'i16', -2, NumberType.WordSigned],
    ['D200', 'i32', -70000, NumberType.DoubleWordSigned],
  ],
};
// X is read-only for velctl (a controller's inputs come from its terminals): only node-fxplc writes
// it, and velctl reads it.
const nodeWrites = {
  bits: ['X0', 'X17', 'X77', 'Y10', 'M7', 'S0', 'T255'],
  numbers: [
    ['T6', 'u16', 555, NumberType.WordUnsigned],
    ['C11', 'i16', -3, NumberType.WordSigned],
    ['D101', 'u16', 777, NumberType.WordUnsigned],
    ['D300', 'i32', -123456, NumberType.DoubleWordSigned],
  ],
};

async function rawReadsAndWrites() {
  await withPlc(async (plc) => {
    // Preloaded by velsim --memory: bytes i & 0xFF at address i.
    check('read 8 bytes at 0x0100', await plc.readBytes(0x0100, 8), [0, 1, 2, 3, 4, 5, 6, 7]);
    await plc.writeBytes(0x1000, Buffer.from([0xc8, 0x00, 0x34, 0x12]));
    check('read back 4 bytes at 0x1000', await plc.readBytes(0x1000, 4), [0xc8, 0x00, 0x34, 0x12]);
    const block = Buffer.alloc(64);
    for (let i = 0; i < 64; ++i) block[i] = (i * 7 + 0xa5) & 0xff;
    await plc.writeBytes(0x2000, block);
    check('read back 64 bytes at 0x2000', await plc.readBytes(0x2000, 64), block);
  });
}

async function velctlWritesNodeReads() {
  // Each bit is turned to what it is not, so that a write to the wrong place shows.
  const before = await withPlc(async (plc) => {
    const values = {};
    for (const name of velctlWrites.bits) values[name] = await plc.readBit(name);
    return values;
  });
  velctlRun([
    ...velctlWrites.bits.map((name) => `write -t bits ${name} ${before[name] ? 0 : 1}`),
    ...velctlWrites.numbers.map(([name, type, value]) => `write -t ${type} ${name} ${value}`),
  ]);
  await withPlc(async (plc) => {
    for (const name of velctlWrites.bits) check(`velctl wrote ${name}, node-fxplc reads`, await plc.readBit(name), !before[name]);
    for (const [name, , value, numberType] of velctlWrites.numbers)
      check(`velctl wrote ${name}, node-fxplc reads`, await plc.readNumber(name, numberType), value);
  });
}

async function nodeWritesVelctlReads() {
  const want = {};
  await withPlc(async (plc) => {
    for (const name of nodeWrites.bits) {
      want[name] = (await plc.readBit(name)) ? 0 : 1;
      await writeBitAsByte(plc, name, want[name]);
    }
    for (const [name, , value, numberType] of nodeWrites.numbers) {
      await plc.writeNumber(name, value, numberType);
      want[name] = value;
    }
  });
  const out = velctlRun([
    ...nodeWrites.bits.map((name) => `read -t bits ${name} 1`),
    ...nodeWrites.numbers.map(([name, type]) => `read -t ${type} ${name} 1`),
  ]);
  const got = {};
  for (const line of out.split('\n')) {
    const m = /^(\S+)\s*=\s*(-?\d+)/.exec(line);
    if (m) got[m[1]] = Number(m[2]);
  }
  for (const name of Object.keys(want)) check(`node-fxplc wrote ${name}, velctl reads`, got[name], want[name]);
}

async function main() {
  await rawReadsAndWrites();
  await velctlWritesNodeReads();
  await nodeWritesVelctlReads();
}

main().then(() => process.exit(0), (e) => {
  console.error('node-fxplc check failed:', e && e.stack || e);
  process.exit(1);
});
