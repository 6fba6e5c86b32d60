// Reads COUNT times SIZE bytes at ADDRESS with node-fxplc (npm), an independent FX client, and prints
// the time of each read in milliseconds: "times t1 t2 ...".
// Usage: node node_fxplc_reads.js PORT_PATH COUNT ADDRESS SIZE   (NODE_PATH must reach node-fxplc)
'use strict';
const { FXPLCClient, TransportSerial } = require('node-fxplc');

async function main() {
  const [path, count, address, size] = [process.argv[2], ...process.argv.slice(3, 6).map(Number)];
  const transport = new TransportSerial({ path, baudRate: 9600, timeout: 1500 });
  const plc = new FXPLCClient(transport, { timeoutMs: 3000 });
  try {
    await plc.readBytes(address, size);  // opens the port; not timed
    const times = [];
    for (let i = 0; i < count; ++i) {
      const t0 = process.hrtime.bigint();
      const data = await plc.readBytes(address, size);
      times.push(Number(process.hrtime.bigint() - t0) / 1e6);
      if (data.length !== size) throw new Error(`read ${data.length} bytes, want ${size}`);
    }
    console.log('times ' + times.map((t) => t.toFixed(3)).join(' '));
  } finally {
    plc.close();
  }
}

main().then(() => process.exit(0), (e) => {
  console.error('node-fxplc reads failed:', (e && e.stack) || e);
  process.exit(1);
});
