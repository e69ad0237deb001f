// The Web MIDI driver against a stand-in MIDIAccess whose ports carry bytes
// to and from the virtual unit (index.html?virtual=page), and the page's
// refusals where the browser's MIDI cannot serve.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import {
  IDC_MIDIIN, IDC_MIDIOUT, IDOK, click, launch, mainWindow, messageBox, openPage, startServer, waitStatus,
} from './harness.mjs';

let server, browser;
before(async () => { server = await startServer(); browser = await launch(); });
after(async () => { await browser?.close(); server?.stop(); });

const whole = (m) => m.whole;
const standInLog = (page) => page.evaluate(() => window.ql5StandIn.log);

describe('the Web MIDI driver', () => {
  test('a whole update through the driver: ports in the browser\'s order, SysEx whole both ways, the unplug seen through statechange', async () => {
    const page = await openPage(browser, server.url + '?virtual=page', { midi: { mode: 'ok' } });
    await mainWindow(page);
    const inputs = await page.$eval(`[data-control="${IDC_MIDIIN}"]`, (s) => ({
      options: Array.from(s.options, (o) => o.textContent), selected: s.selectedIndex }));
    assert.deepEqual(inputs, { options: ['Some Keyboard', 'Tarvik QL-5 MIDI 1'], selected: 1 });
    assert.equal(await page.$eval(`[data-control="${IDC_MIDIOUT}"]`, (s) => s.value), 'Tarvik QL-5 MIDI 1');

    await click(page, IDOK);
    await waitStatus(page, 'Version update completed.');
    const log = await standInLog(page);
    assert.deepEqual(log.requests, [{ sysex: true }]);
    assert.ok(log.toUnit.length > 3000, 'messages to the unit: ' + log.toUnit.length);
    assert.ok(log.toUnit.every(whole), 'every message to the unit is one whole SysEx');
    // A 4 KiB block goes out as one message, never in pieces.
    assert.ok(log.toUnit.some((m) => m.length > 4096), 'the write blocks went out whole');
    assert.ok(log.fromUnit.every(whole), 'every message from the unit is one whole SysEx');
    assert.ok(log.fromUnit.length >= log.toUnit.length - 2);
    // The unit unplugged itself after the update; the program saw its ports
    // go only through statechange.
    assert.equal(log.stateChanges, 2);
    assert.deepEqual(page.errors, []);
    await page.close();
  });

  test('a reply lost on the way: the request is sent again, and the update goes on', async () => {
    // The unit's 5th message is lost between the browser and the program.
    const page = await openPage(browser, server.url + '?virtual=page&timing=test',
      { midi: { mode: 'ok', dropFromUnit: [5] } });
    await mainWindow(page);
    await click(page, IDOK);
    await page.waitForFunction(() => window.ql5StandIn.log.dropped.length === 1 &&
      window.ql5StandIn.log.fromUnit.length >= 40, { timeout: 120000 });
    const log = await standInLog(page);
    // The request whose answer was lost went out again, right after its
    // time-out; everything after it was answered.
    const key = (m) => m.length + ':' + m.digest;
    const lostAt = log.toUnit.findIndex((m, i) => i > 0 && key(m) === key(log.toUnit[i - 1]));
    assert.ok(lostAt > 0, 'a request was sent twice in a row');
    assert.ok(lostAt <= 6, 'the resend is the request whose reply was lost (at ' + lostAt + ')');
    assert.equal(log.dropped.length, 1);
    assert.notEqual(await page.$eval('[data-control="1003"]', (e) => e.value), 'Version update completed.');
    assert.deepEqual(page.errors, []);
    await page.close();
  });

  test('the unit unplugged in the middle: no completion is reported', async () => {
    const page = await openPage(browser, server.url + '?virtual=page&timing=test', { midi: { mode: 'ok' } });
    await mainWindow(page);
    await click(page, IDOK);
    await page.waitForFunction(() => window.ql5StandIn.log.toUnit.length > 200);
    await page.evaluate(() => window.ql5StandIn.setConnected(false));
    const box = await messageBox(page);
    assert.equal(box.caption, 'Error');
    assert.match(box.text, /^(Time out error\(\d\)|Transfer error occurred\.)$/);
    const status = await page.$eval('[data-control="1003"]', (e) => e.value);
    assert.notEqual(status, 'Version update completed.');
    await page.close();
  });

  test('the unit\'s ports not found: the page says so, and they appear when the unit is plugged in', async () => {
    const page = await openPage(browser, server.url, { midi: { mode: 'ok', unplugged: true } });
    await mainWindow(page);
    await page.waitForSelector('#hint:not([hidden])');
    assert.match(await page.$eval('#hint', (h) => h.textContent),
      /^No QL-5 is among this browser's MIDI ports \(Some Keyboard\)\. Connect the unit/);
    assert.equal(await page.$eval(`[data-control="${IDOK}"]`, (b) => b.disabled), true);
    assert.deepEqual(await page.$eval(`[data-control="${IDC_MIDIOUT}"]`, (s) => s.options.length), 0);
    await page.evaluate(() => window.ql5StandIn.setConnected(true));
    await page.waitForSelector('#hint', { hidden: true });
    await click(page, 1004);  // Rescan Device
    await page.waitForFunction(() => !document.querySelector('[data-control="1"]').disabled);
    assert.equal(await page.$eval(`[data-control="${IDC_MIDIOUT}"]`, (s) => s.value), 'Tarvik QL-5 MIDI 1');
    await page.close();
  });

  for (const [mode, kind, words] of [
    ['denied', 'sysex-denied', /Allow MIDI for this site/],
    ['none', 'no-web-midi', /Chrome, Edge, Opera .* Safari/],
  ]) {
    test(`no MIDI (${mode}): a refusal on the page, and nothing loaded or sent`, async () => {
      const page = await openPage(browser, server.url, { midi: { mode } });
      await page.waitForSelector(`#refusal[data-kind="${kind}"]:not([hidden])`, { timeout: 30000 });
      assert.match(await page.$eval('#refusal', (r) => r.textContent), words);
      assert.equal(page.wasmRequests, 0);
      assert.equal(await page.$('section.window'), null);
      await page.close();
    });
  }

  test('a second tab waits while the first drives the unit, and starts when the first closes', async () => {
    const first = await openPage(browser, server.url, { midi: { mode: 'ok' } });
    await mainWindow(first);
    const second = await openPage(browser, server.url, { midi: { mode: 'ok' } });
    await second.waitForSelector('#notice[data-kind="second-tab"]:not([hidden])');
    assert.equal(second.wasmRequests, 0);
    assert.equal(await second.$('section.window'), null);
    await first.close();
    await mainWindow(second);
    assert.equal(await second.$eval('#notice', (n) => n.hidden), true);
    await second.close();
  });
});
