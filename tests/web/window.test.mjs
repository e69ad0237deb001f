// The window as a page, driven through its controls against the virtual unit
// inside the page (index.html?virtual).
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import {
  IDCANCEL, IDC_MIDIIN, IDC_MIDIOUT, IDC_PROGRESS, IDC_STATUS, IDC_STEP, IDC_VERSIONCHECK, IDOK,
  click, closeMessageBox, launch, mainWindow, messageBox, openPage, startServer, waitStatus,
} from './harness.mjs';

let server, browser;
before(async () => { server = await startServer(); browser = await launch(); });
after(async () => { await browser?.close(); server?.stop(); });

// Records what the program shows, in order: [op, window, control, a, b].
async function recordCalls(page) {
  await page.evaluate(() => {
    window.ql5Calls = [];
    const call = Module.ql5Page.call;
    Module.ql5Page.call = (...args) => { window.ql5Calls.push(args); return call(...args); };
  });
}

const shown = (calls, op, id) => calls.filter((c) => c[0] === op && c[2] === id).map((c) => c[3]);

async function versionReport(page) {
  await click(page, IDC_VERSIONCHECK);
  const box = await messageBox(page);
  await closeMessageBox(page);
  return box;
}

describe('the window against the virtual unit', () => {
  test('a version check, a whole update through the controls, and the version check after it', async () => {
    const page = await openPage(browser, server.url + '?virtual');
    await mainWindow(page);
    // The lists as the program filled them, the unit's port chosen.
    for (const id of [IDC_MIDIIN, IDC_MIDIOUT]) {
      const list = await page.$eval(`[data-control="${id}"]`, (s) => ({
        options: Array.from(s.options, (o) => o.textContent), selected: s.selectedIndex }));
      assert.deepEqual(list.options, ['Tarvik QL-5 MIDI 1']);
      assert.equal(list.selected, 0);
    }
    assert.match(await page.title(), /^Tarvik QL-5 System v\d\.\d\d Updater$/);

    const before = await versionReport(page);
    assert.equal(before.caption, 'Version Information');
    const m = /^SYSTEM:\t\t1\.10 -> (\d\.\d\d)\nPRESET:\t\t1\.00/.exec(before.text);
    assert.ok(m, 'report: ' + JSON.stringify(before.text));
    const carried = m[1];

    // The About box from the window's menu, its entry with the access key.
    await page.click('section.window[data-template="103"] .menubutton');
    const entry = await page.$eval('section.window[data-template="103"] .menuitem',
      (m) => ({ text: m.textContent, key: m.querySelector('u').textContent }));
    assert.deepEqual(entry, { text: 'About Tarvik Dorn Series Updater(A)...', key: 'A' });
    await page.click('section.window[data-template="103"] .menuitem');
    await page.waitForSelector('section.window[data-template="100"]:not([hidden])');
    const about = await page.$eval('section.window[data-template="100"]', (w) => ({
      title: w.querySelector('.title').textContent,
      text: w.querySelector('[data-control="1003"]').value,
      readOnly: w.querySelector('[data-control="1003"]').readOnly,
      focused: document.activeElement.textContent }));
    assert.deepEqual(about, { title: 'About Tarvik Dorn Series Updater',
      text: 'Tarvik QL-5 System v1.20 Updater', readOnly: true, focused: 'OK' });
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => !document.querySelector('section.window[data-template="100"]'));

    await recordCalls(page);
    await click(page, IDOK);
    await waitStatus(page, 'Version update completed.');
    const calls = await page.evaluate(() => window.ql5Calls);
    const statuses = shown(calls, 'text', IDC_STATUS);
    assert.ok(statuses.includes('Erasing Flash memory.'), statuses.join(' | '));
    assert.ok(statuses.some((s) => /^Data transmit {2}\d+ \/ \d+ $/.test(s)));
    assert.deepEqual(statuses.slice(-2),
      ['PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER.', 'Version update completed.']);
    // The step counter counted up; the bar ended at its top.
    const steps = shown(calls, 'text', IDC_STEP).filter((s) => s !== '');
    assert.ok(steps.length >= 2, 'steps: ' + steps.join(','));
    const high = shown(calls, 'range', IDC_PROGRESS).at(-1);
    const [low, top] = await page.$eval(`[data-control="${IDC_PROGRESS}"]`,
      (p) => [Number(p.dataset.pos), Number(p.dataset.high)]);
    assert.equal(low, top);
    assert.ok(high !== undefined);
    // Exit was disabled while the unit was written, and is back; Execute
    // stays off until the unit is seen again.
    assert.deepEqual(shown(calls, 'enable', IDCANCEL), [0, 1]);
    assert.equal(await page.$eval(`[data-control="${IDCANCEL}"]`, (b) => b.disabled), false);
    assert.equal(await page.$eval(`[data-control="${IDOK}"]`, (b) => b.disabled), true);
    // The keyboard works again: Execute, which had the focus, stays off, so
    // the focus is on Rescan Device.
    await page.waitForFunction(() => document.activeElement &&
      document.activeElement.dataset.control === '1004', { timeout: 10000 });

    // The unit comes back with what was written: its stamps now read as the
    // carried ones.
    await click(page, 1004);  // Rescan Device, until the unit is back
    await page.waitForFunction(async () => {
      const b = document.querySelector('[data-control="1007"]');
      if (b.disabled) document.querySelector('[data-control="1004"]').click();
      return !b.disabled;
    }, { timeout: 30000, polling: 500 });
    const afterUpdate = await versionReport(page);
    assert.match(afterUpdate.text, new RegExp('^SYSTEM:\\t\\t' + carried.replace('.', '\\.') + ' -> ' +
      carried.replace('.', '\\.')));
    assert.deepEqual(page.errors, []);
    await page.close();
  });

  test('faults from the address (a reply the unit loses): the update still completes; a script that does not parse is refused', async () => {
    const page = await openPage(browser, server.url + '?virtual&timing=test&fault=' +
      encodeURIComponent('write#3:drop'));
    await mainWindow(page);
    await click(page, IDOK);
    await waitStatus(page, 'Version update completed.');

    const bad = await openPage(browser, server.url + '?virtual&fault=' + encodeURIComponent('write#:nonsense'));
    const box = await messageBox(bad, 60000);
    assert.match(box.text, /^The virtual unit's fault script is not valid: /);
    await closeMessageBox(bad);
    await bad.waitForSelector('#notice[data-kind="ended"]:not([hidden])');
    assert.equal(await bad.$('section.window[data-template="103"]'), null);
    await page.close();
    await bad.close();
  });

  test('loading shows how much of the program and its images has arrived', async () => {
    const page = await browser.newPage();
    await page.evaluateOnNewDocument(() => {
      window.ql5Loading = [];
      new MutationObserver(() => {
        const t = document.getElementById('loading-text');
        if (t && window.ql5Loading.at(-1) !== t.textContent) window.ql5Loading.push(t.textContent);
      }).observe(document, { subtree: true, childList: true, characterData: true });
    });
    await page.goto(server.url + '?virtual');
    await mainWindow(page);
    const seen = await page.evaluate(() => window.ql5Loading);
    const steps = seen.map((t) => /^Loading the updater and its firmware images: ([\d.]+) of ([\d.]+) MB$/.exec(t))
      .filter(Boolean).map((m) => [Number(m[1]), Number(m[2])]);
    assert.ok(steps.length >= 2, 'progress steps: ' + JSON.stringify(seen));
    const total = steps[0][1];
    assert.ok(total > 15, 'the program carries the images: ' + total + ' MB');
    assert.deepEqual(steps.at(-1), [total, total]);
    assert.ok(steps.every(([done], i) => i === 0 || done >= steps[i - 1][0]), 'counts up');
    assert.equal(await page.$eval('#loading', (l) => l.hidden), true);
    await page.close();
  });

  test('a reload in the middle of an update asks first, then says what state the unit may be in', async () => {
    const page = await openPage(browser, server.url + '?virtual');
    await mainWindow(page);
    await click(page, IDOK);
    await page.waitForFunction(() => Module.ql5Page.isBusy() && sessionStorage.getItem('ql5-busy'));
    const prompts = [];
    page.on('dialog', (d) => { prompts.push(d.type()); d.accept(); });
    await page.reload({ waitUntil: 'domcontentloaded' });
    await page.waitForSelector('#notice[data-kind="interrupted"]:not([hidden])');
    assert.deepEqual(prompts, ['beforeunload']);
    assert.match(await page.$eval('#notice', (n) => n.textContent), /may hold part of the new firmware.*press Execute again/);
    await mainWindow(page);
    await page.close();
  });

  test('a program cut short in transit is refused by name, and nothing starts', async () => {
    const page = await browser.newPage();
    await page.setRequestInterception(true);
    page.on('request', async (r) => {
      if (!r.url().endsWith('.wasm')) return r.continue();
      const whole = await (await fetch(r.url())).arrayBuffer();
      r.respond({ status: 200, contentType: 'application/wasm', body: Buffer.from(whole.slice(0, whole.byteLength >> 1)) });
    });
    await page.goto(server.url + '?virtual');
    await page.waitForSelector('#refusal[data-kind="load"]:not([hidden])', { timeout: 60000 });
    assert.match(await page.$eval('#refusal', (r) => r.textContent), /ql5-updater\.wasm, which carries the firmware images\) did not arrive whole/);
    assert.equal(await page.$('section.window'), null);
    await page.close();
  });

  test('the page from a file is not isolated: refused before anything loads', async () => {
    const { site } = await import('./harness.mjs');
    const page = await openPage(browser, 'file://' + site + '/index.html?virtual');
    await page.waitForSelector('#refusal[data-kind="not-isolated"]:not([hidden])');
    assert.match(await page.$eval('#refusal', (r) => r.textContent), /Cross-Origin-Opener-Policy: same-origin/);
    assert.equal(page.wasmRequests, 0);
    await page.close();
  });
});
