// The serve page in headless Chromium, driven as a user drives it, checked against the tool's
// own answers: the timeline draws each step in its kind's colour, the wheel zooms in, hovering
// a step shows its numbers, a shift-drag selection makes the group table the query of that
// window, and clicking a group dims the others.
//
// Usage: node serve_page_test.mjs VORN_PROFILE CHROMIUM WORK_DIR [SCREENSHOT.png]
import { execFileSync, spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import assert from 'node:assert/strict';
import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';

const [tool, chromium, work, screenshot] = process.argv.slice(2);
mkdirSync(work, { recursive: true });
const profile = `${work}/serve.packed`;
execFileSync(tool, ['generate', '--tiles', '16', '--steps-per-tile', '200', '--format', 'packed',
  '-o', profile]);

const ask = (...args) => JSON.parse(execFileSync(tool, ['query', profile, ...args, '--format', 'json']));
/// The step the tool lists running on `tile` at `cycle`, if any.
function stepAt(tile, cycle) {
  const report = ask('--tile', String(tile), '--at-offset', String(Math.floor(cycle)), '--sample-limit', '1');
  return report.samples[0];
}

const server = spawn(tool, ['serve', profile, '--port', '0'], { stdio: ['ignore', 'pipe', 'ignore'] });
const url = await new Promise((resolve, reject) => {
  createInterface({ input: server.stdout }).once('line', resolve);
  server.once('exit', (code) => reject(new Error(`serve ended with ${code}`)));
});

const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, args: ['--no-sandbox', '--disable-gpu'],
});
const failures = [];
function check(name, body) {
  return body().then(() => console.log(`ok   ${name}`),
    (error) => { failures.push(name); console.log(`FAIL ${name}: ${error.message}`); });
}

try {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.setViewport({ width: 1200, height: 900 });
  await page.goto(url);
  await page.waitForSelector('body[data-ready="all"]', { timeout: 20000 });

  const view = () => page.evaluate(() => {
    const axis = document.getElementById('axis');
    const box = document.getElementById('timeline').getBoundingClientRect();
    return { from: Number(axis.dataset.from), to: Number(axis.dataset.to), left: box.left,
      top: box.top, width: box.width, height: box.height, rows: data.tiles.map((t) => t.tile),
      rowHeight: rowHeight() };
  });
  const colors = await page.evaluate(() => Object.fromEntries([...document.querySelectorAll('#legend span')]
    .map((item) => [item.textContent, getComputedStyle(item.querySelector('i')).backgroundColor])));
  const pixel = (x, y) => page.evaluate((x, y) => {
    const [r, g, b] = document.getElementById('timeline').getContext('2d').getImageData(x, y, 1, 1).data;
    return `rgb(${r}, ${g}, ${b})`;
  }, x, y);

  /// Points of the canvas whose pixel a single step covers whole, with that step.
  async function coveredPoints(count) {
    const v = await view();
    const cpp = (v.to - v.from) / v.width;
    const points = [];
    for (let i = 0; points.length < count && i < 60; ++i) {
      const row = (i * 7) % v.rows.length;
      const x = Math.floor(((i * 37) % 97 + 1) / 99 * v.width);
      const start = v.from + x * cpp;
      const step = stepAt(v.rows[row], start);
      if (step && step.offset <= start && step.offset + step.duration >= start + cpp + 1) {
        const end = stepAt(v.rows[row], start + cpp);
        if (end && end.offset === step.offset) {
          points.push({ x, y: Math.floor(row * v.rowHeight + v.rowHeight / 2), tile: v.rows[row], step });
        }
      }
    }
    assert.ok(points.length >= Math.min(count, 3), `only ${points.length} covered points found`);
    return points;
  }

  await check('timeline draws each step in its kind colour', async () => {
    for (const p of await coveredPoints(8)) {
      assert.equal(await pixel(p.x, p.y), colors[p.step.kind], `tile ${p.tile} x ${p.x}`);
    }
  });

  await check('wheel zoom narrows the range on the axis', async () => {
    const before = await view();
    await page.mouse.move(before.left + before.width / 2, before.top + 5);
    await page.mouse.wheel({ deltaY: -300 });
    await page.waitForFunction((from, to) => {
      const axis = document.getElementById('axis');
      return Number(axis.dataset.to) - Number(axis.dataset.from) < to - from;
    }, { timeout: 5000 }, before.from, before.to);
    const after = await view();
    assert.ok(after.from >= before.from && after.to <= before.to, JSON.stringify([before, after]));
  });

  await check('hovering a step shows its numbers', async () => {
    const v = await view();
    const [p] = await coveredPoints(1);
    await page.mouse.move(v.left + p.x + 0.5, v.top + p.y);
    const text = await page.$eval('#tooltip', (tip) => (tip.hidden ? '' : tip.textContent));
    for (const expected of [`tile ${p.step.physical_tile}`, `kind ${p.step.kind}`,
      `offset ${p.step.offset} cycles`, `duration ${p.step.duration} cycles`,
      `phase ${p.step.phase} epoch ${p.step.epoch}`, `operation ${p.step.operation}`]) {
      assert.ok(text.includes(expected), `${JSON.stringify(expected)} not in ${JSON.stringify(text)}`);
    }
  });

  await check('a shift-drag selection makes the group table that window\'s query', async () => {
    const v = await view();
    const y = v.top + 3;
    await page.keyboard.down('Shift');
    await page.mouse.move(v.left + v.width * 0.3, y);
    await page.mouse.down();
    await page.mouse.move(v.left + v.width * 0.55, y, { steps: 4 });
    await page.mouse.up();
    await page.keyboard.up('Shift');
    const selection = await page.evaluate(() => state.sel);
    assert.ok(selection && selection.to > selection.from, 'no selection');
    assert.match(await page.$eval('#selection', (e) => e.textContent),
      new RegExp(`${selection.to - selection.from} cycles`));
    const expected = ask('--from', String(selection.from), '--to', String(selection.to)).groups
      .map((g) => [g.name === '' ? '(none)' : g.name, String(g.sample_count), String(g.phase_cycles)]);
    await page.waitForFunction((want) => {
      const rows = [...document.querySelectorAll('#groups tbody tr')]
        .map((tr) => [0, 1, 3].map((i) => tr.cells[i].textContent));
      return JSON.stringify(rows) === want;
    }, { timeout: 5000 }, JSON.stringify(expected)).catch(async () => {
      const shown = await page.$$eval('#groups tbody tr', (rows) => rows.map((tr) => tr.textContent));
      throw new Error(`table ${JSON.stringify(shown)} is not ${JSON.stringify(expected)}`);
    });
    assert.match(await page.evaluate(() => location.hash), new RegExp(`sel=${selection.from}-${selection.to}`));
  });

  await check('clicking a group dims the others, on the table and the timeline', async () => {
    await page.evaluate(() => { state.sel = null; resetView(); });
    await page.waitForFunction(() => !state.sel && data.from === 0 && data.to === span &&
      document.querySelectorAll('#groups tbody tr').length > 1);
    const points = await coveredPoints(10);
    const name = await page.$eval('#groups tbody tr', (tr) => tr.dataset.name);
    await page.click('#groups tbody tr');
    await page.waitForFunction(() => highlight !== null, { timeout: 5000 });
    const classes = await page.$$eval('#groups tbody tr', (rows) => rows.map((tr) => [tr.dataset.name, tr.className]));
    for (const [row, className] of classes) {
      assert.equal(className, row === name ? 'selected' : 'dimmed', row);
    }
    let dimmed = 0;
    for (const p of points) {
      const shown = await pixel(p.x, p.y);
      if (p.step.kernel === name) {
        assert.equal(shown, colors[p.step.kind], `highlighted step at tile ${p.tile}`);
      } else {
        assert.notEqual(shown, colors[p.step.kind], `dimmed step at tile ${p.tile}`);
        dimmed += 1;
      }
    }
    assert.ok(dimmed > 0, 'no step of another group to check');
  });

  if (screenshot) {
    // One group highlighted, for the README.
    await page.screenshot({ path: screenshot });
  }
  await check('no script errors', async () => assert.deepEqual(errors, []));
} finally {
  await browser.close();
  server.kill('SIGTERM');
}
if (failures.length) {
  console.log(`${failures.length} failed`);
  process.exit(1);
}
