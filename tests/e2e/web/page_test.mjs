// The browser console's page in headless Chromium (Debian's), driven by playwright-core: search,
// ticks, a picture that fails its check, a refresh with an uploaded picture on 20 of 30
// recorders, then firmware on a refusing, a rejecting and a willing recorder. Prints what it
// saw as JSON; the shell checks the simulator's side. With SHOT (a path prefix) it saves the
// page mid-run and at the end (scripts/screenshot --browser).
//
// node page_test.mjs URL PICTURE BAD_PICTURE BAD_MESSAGE FIRMWARE
import {createRequire} from 'node:module';
import path from 'node:path';
import os from 'node:os';

const modules = process.env.DRAVLIN_NODE_MODULES || path.join(os.homedir(), '.cache/dravlin-node/node_modules');
const {chromium} = createRequire(path.join(modules, 'x.js'))('playwright-core');
const [url, picture, badPicture, badMessage, firmware] = process.argv.slice(2);
const shot = process.env.SHOT || '';
const serial = (n) => 'DRVSIM' + String(n).padStart(6, '0');
const row = (n) => `#list tr[data-serial="${serial(n)}"]`;
const minute = 60000;

function check(ok, what) {
  if (!ok) throw new Error(what);
}

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
let failed = false;
try {
  const page = await browser.newPage({viewport: {width: 1400, height: 900}});
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.goto(url);
  await page.waitForSelector('#app:not([hidden])');
  check(!/token=/.test(page.url()), 'the token stays out of the address once read');

  // Search until the 30 recorders are listed, then stop it.
  await page.click('#search');
  await page.waitForFunction(() => document.querySelectorAll('#list tbody tr').length === 30, null,
                             {timeout: 2 * minute});
  await page.click('#search');
  await page.waitForFunction(() => document.querySelector('#search').textContent === '搜索NVR');
  for (let n = 1; n <= 20; ++n) await page.check(`${row(n)} input.tick`);
  check((await page.textContent('#counts')).includes('已勾选: 20'), 'the counts show 20 ticked');

  // A picture that fails its check says why, and is not kept.
  await page.setInputFiles('#file-boot', badPicture);
  await page.waitForSelector('#picked-boot.bad');
  check((await page.textContent('#message')) === badMessage,
        `the bad picture's message: ${await page.textContent('#message')}`);

  await page.setInputFiles('#file-boot', picture);
  await page.waitForFunction(() => document.querySelector('#picked-boot').textContent.includes('MD5'));

  // Every status text the rows go through, as the page shows them live: each text set is a new
  // text node, kept in the records even when a later one replaced it before the observer ran.
  await page.evaluate(() => {
    window.seen = new Set();
    new MutationObserver((records) => {
      for (const r of records)
        if (r.target.classList && r.target.classList.contains('status'))
          for (const n of r.addedNodes) window.seen.add(n.textContent);
    }).observe(document.querySelector('#list tbody'), {subtree: true, childList: true});
  });
  await page.click('#refresh');
  await page.waitForFunction(() => document.querySelector('#list tr.busy, #list tr.ok'), null, {timeout: minute});
  if (shot) {
    // Mid-run: once the uploads are seen moving.
    await page.waitForFunction(() => [...document.querySelectorAll('#list td.status')].some(
                                   (td) => td.textContent.startsWith('上传文件中')), null, {timeout: minute});
    await page.screenshot({path: shot + '-mid.png'});
  }
  const settled = (from, to) => page.waitForFunction(([a, b]) => {
    for (let n = a; n <= b; ++n) {
      const tr = document.querySelector(`#list tr[data-serial="DRVSIM${String(n).padStart(6, '0')}"]`);
      if (!tr || (tr.dataset.state !== 'ok' && tr.dataset.state !== 'failed')) return false;
    }
    return true;
  }, [from, to], {timeout: 2 * minute});
  await settled(1, 20);
  const texts = {};
  for (let n = 1; n <= 30; ++n) texts[serial(n)] = await page.textContent(`${row(n)} td.status`);
  for (let n = 1; n <= 20; ++n)
    check(texts[serial(n)] === '设置成功,正在重启,请稍后...', `${serial(n)}: ${texts[serial(n)]}`);
  for (let n = 21; n <= 30; ++n) check(texts[serial(n)] === '空闲', `${serial(n)} was not ticked: ${texts[serial(n)]}`);
  const seen = await page.evaluate(() => [...window.seen]);
  for (const t of ['NVR 登录成功', '设置图片成功', '设置成功,正在重启,请稍后...'])
    check(seen.includes(t), `the progress was shown live (${t}): ${seen}`);
  check((await page.textContent('#counts')).includes('处理中: 0'), 'nothing busy at the end');

  // Firmware: a refused login, a rejected image and an accepted one.
  await page.click('#tick-all');
  await page.click('#tick-invert');
  for (const n of [21, 22, 23]) await page.check(`${row(n)} input.tick`);
  await page.setInputFiles('#file-firmware', firmware);
  await page.waitForFunction(() => document.querySelector('#picked-firmware').textContent.includes('MD5'));
  await page.click('#upgrade');
  await settled(21, 23);
  const fw = {};
  for (const n of [21, 22, 23]) fw[serial(n)] = await page.textContent(`${row(n)} td.status`);
  check(fw[serial(21)] === 'NVR 登录失败', `the refusing recorder: ${fw[serial(21)]}`);
  check(fw[serial(22)] === '校验文件失败', `the rejecting recorder: ${fw[serial(22)]}`);
  check(fw[serial(23)] === '校验文件成功', `the willing recorder: ${fw[serial(23)]}`);

  await page.click('#history-load');
  await page.waitForFunction(() => document.querySelectorAll('#history tbody tr').length >= 23, null,
                             {timeout: minute});
  if (shot) await page.screenshot({path: shot + '-end.png', fullPage: true});
  check(errors.length === 0, `errors in the page: ${errors}`);
  console.log(JSON.stringify({texts, firmware: fw, seen}));
} catch (e) {
  console.error('FAILED:', e.message);
  failed = true;
} finally {
  await browser.close();
}
process.exit(failed ? 1 : 0);
