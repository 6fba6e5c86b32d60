// Reads and writes the FX simulator with node-fxplc, an independent FX client (it sends no ENQ).
// Usage: node node_fxplc_check.js PORT_PATH   (NODE_PATH must reach node-fxplc)
'use strict';
const { FXPLCClient, TransportSerial } = require('node-fxplc');

function check(what, got, want) {
  const g = Buffer.from(got).toString('hex');
  const w = Buffer.from(want).toString('hex');
  if (g !== w) throw new Error(`${what}: got ${g}, want ${w}`);
  console.log(`ok ${what}: ${g}`);
}

async function main() {
  const transport = new TransportSerial({ path: process.argv[2], baudRate: 9600, timeout: 1500 });
  const plc = new FXPLCClient(transport, { timeoutMs: 3000 });
  try {
    // Preloaded by velsim --memory: bytes i & 0xFF at address i.
    check('read 8 bytes at 0x0100', await plc.readBytes(0x0100, 8), [0, 1, 2, 3, 4, 5, 6, 7]);
    await plc.writeBytes(0x1000, Buffer.from([0xc8, 0x00, 0x34, 0x12]));
    check('read back 4 bytes at 0x1000', await plc.readBytes(0x1000, 4), [0xc8, 0x00, 0x34, 0x12]);
    const block = Buffer.alloc(64);
    for (let i = 0; i < 64; ++i) block[i] = (i * 7 + 0xa5) & 0xff;
    await plc.writeBytes(0x2000, block);
    check('read back 64 bytes at 0x2000', await plc.readBytes(0x2000, 64), block);
    await plc.writeInt('D100', -2);  // D100 is address 0x1000 + 2 * 100, low byte first
    const d100 = await plc.readInt('D100');
    if (d100 !== -2) throw new Error(`D100: got ${d100}, want -2`);
    console.log('ok D100 = -2');
    check('read 2 bytes at 0x10C8', await plc.readBytes(0x10c8, 2), [0xfe, 0xff]);
  } finally {
    plc.close();
  }
}

main().then(() => process.exit(0), (e) => {
  console.error('node-fxplc check failed:', e && e.stack || e);
  process.exit(1);
});
