// The page's start: checks what the browser offers, keeps a second tab from
// driving the unit, asks for MIDI, loads the program with its images
// (showing how far), then starts it.
(function () {
  'use strict';
  const params = new URLSearchParams(location.search);
  // ?virtual: the virtual unit inside this tab, no MIDI needed.
  // ?virtual=page: the same unit behind the page's MIDI ports (tests give
  // the page a stand-in MIDIAccess that carries its bytes).
  const behindPage = params.get('virtual') === 'page';
  const virtualUnit = params.has('virtual') && !behindPage;
  const $ = (id) => document.getElementById(id);

  function paragraphs(parent, lines) {
    for (const line of lines) {
      const p = document.createElement('p');
      p.textContent = line;
      parent.appendChild(p);
    }
  }

  // A clear stop: nothing was sent to any unit.
  function refuse(kind, title, lines) {
    $('loading').hidden = true;
    const r = $('refusal');
    r.replaceChildren();
    r.dataset.kind = kind;
    const h = document.createElement('h2');
    h.textContent = title;
    r.appendChild(h);
    paragraphs(r, lines);
    r.hidden = false;
  }

  function notice(kind, lines) {
    const n = $('notice');
    n.replaceChildren();
    n.dataset.kind = kind;
    paragraphs(n, lines);
    n.hidden = lines.length === 0;
  }

  const tryVirtual = 'To try the updater without a unit, open this page with ?virtual at the end of its address.';
  const browsers = 'Web MIDI is in Chrome, Edge, Opera and other Chromium browsers on Windows, macOS, Linux ' +
    'and ChromeOS, and in Firefox from version 108 (it asks to install a site permission add-on). ' +
    'Safari and every browser on iPhone and iPad do not have it.';

  // The unit's ports are not among the browser's: say so beside the window.
  function portsHint() {
    if (virtualUnit || !Module.ql5Midi) return;
    const names = Module.ql5Midi.inputNames().concat(Module.ql5Midi.outputNames());
    const found = names.some((n) => /Tarvik QL-5/.test(n));
    const hint = $('hint');
    hint.textContent = found ? '' :
      'No QL-5 is among this browser\'s MIDI ports' + (names.length ? ' (' + names.join(', ') + ')' : '') +
      '. Connect the unit with its USB cable and switch it on in update mode, then press Rescan Device.';
    hint.hidden = found;
  }

  function showLoading(done, total) {
    $('loading').hidden = false;
    const mb = (n) => (n / 1048576).toFixed(1);
    $('loading-text').textContent = total > 0
      ? 'Loading the updater and its firmware images: ' + mb(done) + ' of ' + mb(total) + ' MB'
      : 'Loading the updater and its firmware images: ' + mb(done) + ' MB';
    const share = total > 0 ? Math.min(1, done / total) : 0;
    const bar = $('loading-bar');
    bar.firstChild.style.width = (share * 100) + '%';
    bar.setAttribute('aria-valuenow', String(Math.round(share * 100)));
  }

  // The program's WebAssembly carries the five images: fetched here so that
  // the page can show how far it is, and refused whole if it is cut short.
  async function fetchProgram() {
    const response = await fetch('ql5-updater.wasm', { cache: 'no-cache' });
    if (!response.ok) throw new Error('the server answered ' + response.status);
    const total = Number(response.headers.get('Content-Length')) || 0;
    const reader = response.body.getReader();
    const chunks = [];
    let done = 0;
    showLoading(0, total);
    for (;;) {
      const { value, done: finished } = await reader.read();
      if (finished) break;
      chunks.push(value);
      done += value.length;
      showLoading(done, total);
    }
    if (total > 0 && done !== total) throw new Error('only ' + done + ' of ' + total + ' bytes arrived');
    const bytes = new Uint8Array(done);
    let at = 0;
    for (const c of chunks) { bytes.set(c, at); at += c.length; }
    return bytes;
  }

  function loadFailed(error) {
    refuse('load', 'The updater did not load', [
      'Its program (ql5-updater.wasm, which carries the firmware images) did not arrive whole: ' +
        (error && error.message ? error.message : String(error)) + '.',
      'Nothing was sent to the unit. Check the connection and reload the page.']);
  }

  // The program's script is loaded first (it brings the page half of the
  // MIDI driver); its WebAssembly, with the images, only once the browser's
  // MIDI is settled, so that a refusal costs no download.
  function startProgram(args) {
    let decide;
    const go = new Promise((resolve) => { decide = resolve; });
    Module.instantiateWasm = function (imports, receive) {
      go.then((ok) => {
        if (!ok) return;
        fetchProgram()
          .then((bytes) => WebAssembly.instantiate(bytes, imports))
          .then((result) => receive(result.instance, result.module))
          .catch(loadFailed);
      });
      return {};
    };
    Module.onRuntimeInitialized = function () {
      $('loading').hidden = true;
      Module.ql5Midi.start();
      portsHint();
      window.ql5FirstScreen = performance.now();
      Module.callMain(args);
    };
    Module.ql5Ended = function () {
      notice('ended', ['The updater has closed. Reload the page to start it again.']);
    };
    const script = document.createElement('script');
    script.src = 'ql5-updater.js';
    script.onerror = () => loadFailed(new Error('ql5-updater.js could not be loaded'));
    script.onload = () => midiAccess().then(decide, (e) => { loadFailed(e); decide(false); });
    document.body.appendChild(script);
  }

  // true: go on; false: refused, with the reason on the page.
  async function midiAccess() {
    if (virtualUnit) return true;
    const midi = await Module.ql5Midi.request();
    if (midi === 'none') {
      refuse('no-web-midi', 'This browser has no Web MIDI', [browsers, tryVirtual]);
      return false;
    }
    if (midi === 'denied') {
      refuse('sysex-denied', 'MIDI access was refused', [
        'The updater needs MIDI with system-exclusive messages, and the browser did not allow it for this page.',
        'Allow MIDI for this site (the icon at the left of the address bar, or the browser\'s site settings), then reload the page.',
        tryVirtual]);
      return false;
    }
    if (midi !== 'ok') {
      refuse('midi-failed', 'The browser\'s MIDI did not start', [
        'The browser could not open its MIDI system. Close other programs that use the unit, then reload the page.',
        tryVirtual]);
      return false;
    }
    Module.ql5PortsChanged = portsHint;
    return true;
  }

  function start() {
    const args = [];
    if (virtualUnit) args.push('--virtual');
    if (behindPage) args.push('--virtual=page');
    if (params.has('fault')) args.push('--fault=' + params.get('fault'));
    if (params.has('realistic')) args.push('--realistic');
    if (params.get('timing') === 'test') args.push('--timing=test');
    startProgram(args);
  }

  function interrupted() {
    let since = null;
    try { since = sessionStorage.getItem('ql5-busy'); sessionStorage.removeItem('ql5-busy'); } catch (e) { /* off */ }
    if (!since) return [];
    return ['The last update in this tab was cut short when the page was reloaded or closed. ' +
      'The unit may hold part of the new firmware and may not start normally: keep it connected ' +
      'and press Execute again; the update starts over and completes it.'];
  }

  function main() {
    const earlier = interrupted();
    notice(earlier.length ? 'interrupted' : '', earlier);
    if (!window.crossOriginIsolated || typeof SharedArrayBuffer === 'undefined') {
      refuse('not-isolated', 'This page is not served as the updater needs', [
        'The updater runs its work in background threads, which browsers allow only on a cross-origin ' +
        'isolated page: the server must send "Cross-Origin-Opener-Policy: same-origin" and ' +
        '"Cross-Origin-Embedder-Policy: require-corp" with it, and the page must come over https:// or from ' +
        'localhost, not from a file.',
        'Nothing was sent to any unit.']);
      return;
    }
    // One tab at a time talks to the unit: the others wait for their turn.
    // (The virtual unit lives inside its tab and needs no turn.)
    if (virtualUnit || !navigator.locks) {
      start();
      return;
    }
    navigator.locks.request('ql5-updater-unit', { ifAvailable: true }, (lock) => {
      if (lock) return new Promise(() => { start(); });
      notice('second-tab', earlier.concat([
        'The updater is already open in another tab or window of this browser, and only one may talk ' +
        'to the unit at a time. This tab starts by itself as soon as the other one is closed.']));
      navigator.locks.request('ql5-updater-unit', () => new Promise(() => {
        notice('', earlier);
        start();
      }));
      return null;
    });
  }

  // The page halves of the program (web_midi.js, page.js) attach to this.
  window.Module = window.Module || {};
  const Module = window.Module;
  main();
})();
