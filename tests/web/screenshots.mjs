// Retakes the page's pictures in docs/ (web-*.png) in headless Chromium:
//   node tests/web/screenshots.mjs      (after the web build)
import path from 'node:path';
import {
  IDC_VERSIONCHECK, IDOK, click, closeMessageBox, launch, mainWindow, messageBox, openPage, root,
  startServer,
} from './harness.mjs';

const docs = path.join(root, 'docs');
const server = await startServer();
const browser = await launch();

async function shoot(page, selector, name) {
  const e = await page.$(selector);
  await e.screenshot({ path: path.join(docs, name) });
}

try {
  let page = await openPage(browser, server.url + '?virtual');
  await page.setViewport({ width: 900, height: 600 });
  await mainWindow(page);
  await shoot(page, 'section.window[data-template="103"]', 'web-main-window.png');

  await click(page, IDC_VERSIONCHECK);
  await messageBox(page);
  await shoot(page, '.messagebox', 'web-version-report.png');
  await closeMessageBox(page);

  // The About box, from the window's menu.
  await page.click('section.window[data-template="103"] .menubutton');
  await shoot(page, 'section.window[data-template="103"]', 'web-window-menu.png');
  await page.click('section.window[data-template="103"] .menuitem');
  await page.waitForSelector('section.window[data-template="100"]:not([hidden])');
  await shoot(page, 'section.window[data-template="100"]', 'web-about-box.png');
  await page.keyboard.press('Escape');

  await click(page, IDOK);
  await page.waitForFunction(() => {
    const p = document.querySelector('[data-control="1002"]');
    return p && Number(p.dataset.pos) > (Number(p.dataset.high) - Number(p.dataset.low)) * 0.4;
  }, { polling: 20 });
  await shoot(page, 'section.window[data-template="103"]', 'web-main-window-updating.png');
  await page.close();

  // An error: the unit stops answering mid-update (short time-outs).
  page = await openPage(browser, server.url + '?virtual&timing=test&fault=' + encodeURIComponent('write#20:mute'));
  await page.setViewport({ width: 900, height: 600 });
  await mainWindow(page);
  await click(page, IDOK);
  await messageBox(page);
  await shoot(page, '.messagebox', 'web-error-box.png');
  await page.close();

  // A refusal: a browser without Web MIDI.
  page = await openPage(browser, server.url, { midi: { mode: 'none' } });
  await page.setViewport({ width: 900, height: 400 });
  await page.waitForSelector('#refusal:not([hidden])');
  await page.screenshot({ path: path.join(docs, 'web-no-web-midi.png') });
  await page.close();

  // Zoomed to 150 %: the window scales with the text.
  page = await openPage(browser, server.url + '?virtual');
  await page.setViewport({ width: 900, height: 600, deviceScaleFactor: 1.5 });
  await mainWindow(page);
  await shoot(page, 'section.window[data-template="103"]', 'web-main-window-150.png');
  await page.close();
} finally {
  await browser.close();
  server.stop();
}
