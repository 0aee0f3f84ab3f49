// The serve page's first full drawing of the timeline in headless Chromium: the seconds from
// the start of loading to the timeline drawn (body[data-ready="timeline"]), and to every panel
// answered. Run by scripts/bench-serve from a directory where puppeteer-core is installed.
//
// Usage: node bench-page.mjs URL CHROMIUM
import puppeteer from 'puppeteer-core';

const [url, chromium] = process.argv.slice(2);
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, args: ['--no-sandbox', '--disable-gpu'],
});
try {
  const page = await browser.newPage();
  // About 2000 pixels of timeline, the width of the server's target.
  await page.setViewport({ width: 2040, height: 1000 });
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  const started = performance.now();
  await page.goto(url);
  await page.waitForSelector('body[data-ready="timeline"], body[data-ready="all"]',
    { timeout: 120000 });
  const drawn = (performance.now() - started) / 1000;
  const width = await page.evaluate(() => data.width);
  // Where the time went: the timeline's request from its start to its last byte.
  const fetched = await page.evaluate(() => performance.getEntriesByType('resource')
    .filter((entry) => entry.name.includes('/api/timeline'))
    .map((entry) => [entry.startTime, entry.responseEnd, entry.encodedBodySize]));
  await page.waitForSelector('body[data-ready="all"]', { timeout: 300000 });
  const all = (performance.now() - started) / 1000;
  if (errors.length) throw new Error(errors.join('; '));
  console.log(`${('page: timeline drawn (' + width + ' px)').padEnd(50)} ${drawn.toFixed(3).padStart(8)} s`);
  for (const [start, end, size] of fetched) {
    console.log(`${'page: /api/timeline request'.padEnd(50)} ${((end - start) / 1000).toFixed(3).padStart(8)} s` +
      `  ${(size / 1e6).toFixed(1).padStart(6)} MB, ended ${(end / 1000).toFixed(3)} s after load began`);
  }
  console.log(`${'page: every panel answered'.padEnd(50)} ${all.toFixed(3).padStart(8)} s`);
} finally {
  await browser.close();
}
