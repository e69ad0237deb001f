// The page's figures, in headless Chromium on this machine:
//   node bench/web/figures.mjs [native-ql5]
// - a whole update against the instant virtual unit in the page, and through
//   the Web MIDI driver and a stand-in MIDIAccess, beside `ql5 update
//   --virtual` (native) in the same run; each from Execute to the unit's
//   answer to the finish request (the status asking to unplug);
// - the same against the realistic timing profile, beside its modeled time;
// - what the browser downloads, and the time to the first usable screen.
import { execFileSync } from 'node:child_process';
import { statSync, readdirSync } from 'node:fs';
import { gzipSync } from 'node:zlib';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { IDOK, click, launch, mainWindow, openPage, site, startServer, waitStatus } from '../../tests/web/harness.mjs';

const unplug = 'PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER.';
const server = await startServer();
const browser = await launch();

async function pageUpdate(query, midi) {
  const t0 = Date.now();
  const page = await openPage(browser, server.url + query, midi ? { midi } : {});
  await mainWindow(page);
  const firstScreen = Date.now() - t0;
  await page.evaluate(() => { window.ql5T0 = performance.now(); });
  await click(page, IDOK);
  await waitStatus(page, unplug, 600000);
  const ms = await page.evaluate(() => performance.now() - window.ql5T0);
  const modeled = await page.evaluate(() => Module._ql5_virtual_unit_modeled_ms());
  await page.close();
  return { ms, modeled, firstScreen };
}

function nativeUpdate(ql5) {
  const t0 = process.hrtime.bigint();
  execFileSync(ql5, ['update', '--virtual'], { stdio: 'ignore' });
  return Number(process.hrtime.bigint() - t0) / 1e6;
}

try {
  const files = readdirSync(site).filter((f) => !f.endsWith('.png') || f.startsWith('icon'));
  let bytes = 0, gz = 0;
  for (const f of files) {
    const b = readFileSync(path.join(site, f));
    bytes += b.length;
    gz += gzipSync(b, { level: 6 }).length;
  }
  console.log(`download: ${(bytes / 1048576).toFixed(2)} MiB in ${files.length} files ` +
    `(${(gz / 1048576).toFixed(2)} MiB gzip-compressed); ql5-updater.wasm ` +
    `${(statSync(path.join(site, 'ql5-updater.wasm')).size / 1048576).toFixed(2)} MiB`);

  const ql5 = process.argv[2];
  const native = ql5 ? nativeUpdate(ql5) : NaN;
  const inTab = await pageUpdate('?virtual');
  const viaDriver = await pageUpdate('?virtual=page', { mode: 'ok' });
  console.log(`first usable screen (window with its port lists, local server): ${inTab.firstScreen} ms`);
  console.log(`instant unit, page (in the tab):          ${(inTab.ms / 1000).toFixed(2)} s`);
  console.log(`instant unit, page through Web MIDI:      ${(viaDriver.ms / 1000).toFixed(2)} s`);
  if (ql5) {
    console.log(`instant unit, native ql5 update --virtual: ${(native / 1000).toFixed(2)} s (whole command)`);
    console.log(`page / native: ${(inTab.ms / native).toFixed(2)}`);
  }
  const realistic = await pageUpdate('?virtual&realistic');
  console.log(`realistic unit, page: ${(realistic.ms / 1000).toFixed(2)} s, modeled ` +
    `${(realistic.modeled / 1000).toFixed(2)} s: ${(realistic.ms / realistic.modeled).toFixed(4)} x`);
} finally {
  await browser.close();
  server.stop();
}
