// What every browser test needs: the built site served with its headers, a
// headless Chromium, pages with the updater's window, and a stand-in
// MIDIAccess whose ports carry bytes to and from the virtual unit.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const root = path.resolve(here, '../..');
export const site = process.env.QL5_WEB_SITE || path.join(root, 'build/web/site');

export const IDOK = 1, IDCANCEL = 2, IDC_MIDIIN = 1000, IDC_MIDIOUT = 1001, IDC_PROGRESS = 1002,
  IDC_STATUS = 1003, IDC_RESCAN = 1004, IDC_STEP = 1006, IDC_VERSIONCHECK = 1007;

export async function startServer() {
  const child = spawn('python3', [path.join(root, 'scripts/web_server.py'), site, '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = await new Promise((resolve, reject) => {
    child.once('error', reject);
    child.once('exit', (code) => reject(new Error('server ended: ' + code)));
    child.stdout.once('data', (d) => resolve(String(d).trim()));
  });
  return { url, stop: () => child.kill() };
}

export async function launch() {
  const userDataDir = mkdtempSync(path.join(tmpdir(), 'ql5-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.QL5_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => { await close(); rmSync(userDataDir, { recursive: true, force: true }); };
  return browser;
}

// The stand-in: config.mode 'ok' | 'denied' | 'none' (no Web MIDI at all);
// config.dropFromUnit: ordinals (1-based) of the unit's messages it loses;
// config.unplugged: the unit's ports start disconnected.
function standIn(config) {
  if (config.mode === 'none') {
    delete Navigator.prototype.requestMIDIAccess;
    return;
  }
  // Each message as {length, whole (one SysEx, F0 ... F7, data bytes
  // below 80h), head (its first 12 bytes), digest (FNV-1a of all of it)}:
  // a whole update is some 8,000 messages of up to 4.7 KB.
  const log = { toUnit: [], fromUnit: [], dropped: [], stateChanges: 0, requests: [] };
  const note = (bytes) => {
    let digest = 0x811c9dc5, whole = bytes[0] === 0xf0 && bytes[bytes.length - 1] === 0xf7;
    for (let i = 0; i < bytes.length; ++i) {
      digest = Math.imul(digest ^ bytes[i], 0x01000193) >>> 0;
      if (i > 0 && i < bytes.length - 1 && bytes[i] >= 0x80) whole = false;
    }
    return { length: bytes.length, whole, head: Array.from(bytes.subarray(0, 12)), digest };
  };
  class Port extends EventTarget {
    constructor(id, type) {
      super();
      this.id = id; this.type = type; this.name = 'Tarvik QL-5 MIDI 1';
      this.manufacturer = 'Tarvik'; this.state = 'connected'; this.connection = 'closed';
    }
    open() { this.connection = 'open'; return Promise.resolve(this); }
    close() { this.connection = 'closed'; return Promise.resolve(this); }
  }
  class Output extends Port {
    send(data) {
      if (this.state !== 'connected') throw new DOMException('The port is disconnected.', 'InvalidStateError');
      const bytes = Uint8Array.from(data);
      log.toUnit.push(note(bytes));
      const m = window.Module;
      const ptr = m._malloc(bytes.length);
      m.HEAPU8.set(bytes, ptr);
      m._ql5_stand_in_to_unit(ptr, bytes.length);
      m._free(ptr);
    }
  }
  const other = new Port('other-in', 'input');
  other.name = 'Some Keyboard';
  const input = new Port('ql5-in', 'input');
  const output = new Output('ql5-out', 'output');
  // config.unplugged: the unit's ports are not there when the page opens.
  if (config.unplugged) input.state = output.state = 'disconnected';
  const access = new EventTarget();
  access.inputs = new Map([[other.id, other], [input.id, input]]);
  access.outputs = new Map([[output.id, output]]);
  access.sysexEnabled = true;
  access.onstatechange = null;
  access.addEventListener('statechange', (e) => { if (access.onstatechange) access.onstatechange(e); });
  let fromUnit = 0;
  window.ql5StandIn = {
    log,
    fromUnit(bytes) {
      fromUnit += 1;
      if ((config.dropFromUnit || []).includes(fromUnit)) { log.dropped.push(note(bytes)); return; }
      log.fromUnit.push(note(bytes));
      const event = new Event('midimessage');
      event.data = bytes;
      input.dispatchEvent(event);
    },
    setConnected(on) {
      const state = on ? 'connected' : 'disconnected';
      for (const port of [input, output]) {
        if (port.state === state) continue;
        port.state = state;
        log.stateChanges += 1;
        const event = new Event('statechange');
        event.port = port;
        access.dispatchEvent(event);
      }
    },
  };
  navigator.requestMIDIAccess = async (options) => {
    log.requests.push(options);
    if (config.mode === 'denied') throw new DOMException('Permission denied.', 'NotAllowedError');
    return access;
  };
}

// A page of the site; opts.midi: the stand-in's config (none: the browser's
// own Web MIDI). page.wasmRequests counts fetches of the program.
export async function openPage(browser, url, opts = {}) {
  const page = await browser.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(String(e)));
  page.wasmRequests = 0;
  page.on('request', (r) => { if (r.url().endsWith('.wasm')) page.wasmRequests += 1; });
  if (opts.midi) await page.evaluateOnNewDocument(standIn, opts.midi);
  await page.goto(url, { waitUntil: 'domcontentloaded' });
  return page;
}

// The main window once it shows, with its port lists filled.
export async function mainWindow(page, timeout = 60000) {
  await page.waitForSelector('section.window[data-template="103"]:not([hidden])', { timeout });
  return page;
}

export const control = (page, id) => page.$(`section.window[data-template="103"] [data-control="${id}"]`);

export async function text(page, id) {
  return page.$eval(`section.window[data-template="103"] [data-control="${id}"]`,
    (e) => (e.tagName === 'INPUT' ? e.value : e.textContent));
}

export async function click(page, id) {
  await page.click(`section.window[data-template="103"] [data-control="${id}"]`);
}

// Waits for the next message box and returns its caption and text.
export async function messageBox(page, timeout = 120000) {
  await page.waitForSelector('.messagebox', { timeout });
  return page.$eval('.messagebox', (b) => ({
    caption: b.querySelector('.title').textContent, text: b.querySelector('.boxtext').textContent,
  }));
}

export async function closeMessageBox(page) {
  await page.click('.messagebox .button');
  await page.waitForFunction(() => !document.querySelector('.messagebox'));
}

export async function waitStatus(page, wanted, timeout = 120000) {
  await page.waitForFunction((w) => {
    const e = document.querySelector('section.window[data-template="103"] [data-control="1003"]');
    return e && e.value === w;
  }, { timeout }, wanted);
}
