// Steps on the main page, done the way a user does them, and what the page shows.

// Each graph of the page: whether it is in sight: how much it holds, the time range it shows, and how many pixels
// of its plot area carry a series colour (axes and grid are grey, so only drawn data
// counts).
export function graphSummary(page) {
  return page.evaluate(() => {
    const out = [];
    for (const [key, g] of window.korvex.graphs.graphs) {
      const u = g.plot;
      if (!u) { out.push({ key, visible: g.visible, points: 0, lastTime: NaN, viewMin: NaN, viewMax: NaN, inkPixels: 0 }); continue; }
      const times = u.data[0] ?? [];
      const canvas = u.ctx.canvas;
      let ink = 0;
      const { left, top, width, height } = u.bbox;
      if (width > 0 && height > 0) {
        const pixels = u.ctx.getImageData(Math.round(left), Math.round(top), Math.round(width), Math.round(height)).data;
        for (let i = 0; i < pixels.length; i += 4) {
          const r = pixels[i];
          const gr = pixels[i + 1];
          const b = pixels[i + 2];
          if (pixels[i + 3] > 100 && Math.max(r, gr, b) - Math.min(r, gr, b) > 60) ink++;
        }
      }
      out.push({
        key,
        visible: g.visible, // only graphs in sight are refreshed while live
        points: times.length,
        lastTime: times.length ? times[times.length - 1] : NaN,
        viewMin: u.scales.x.min,
        viewMax: u.scales.x.max,
        inkPixels: ink,
        canvas: `${canvas.width}x${canvas.height}`,
      });
    }
    return out;
  });
}

export async function chooseConfiguration(page, remote, config) {
  const select = page.locator(`#config-${remote}`);
  await select.selectOption(String(config), { timeout: 5000 });
  // The choice holds once the kit has answered: the card lists the configuration's sensors.
  await page.locator(`#config-${remote}:not([disabled])`).waitFor({ timeout: 8000 });
  await page.locator('#config .config-card', { has: page.locator(`#config-${remote}`) })
    .locator('.sensor-list li').first().waitFor({ timeout: 8000 });
  const chosen = await page.locator(`#config-${remote}`).inputValue();
  if (chosen !== String(config)) throw new Error(`remote ${remote} shows configuration ${chosen}, not ${config}`);
}

export async function record(page) {
  await page.locator('#record:not([disabled])').click({ timeout: 5000 });
  await page.locator('body.is-recording').waitFor({ timeout: 8000 });
}

export async function stopRecording(page) {
  await page.locator('#record.recording:not([disabled])').click({ timeout: 5000 });
  await page.locator('body:not(.is-recording)').waitFor({ timeout: 8000 });
  await page.locator('#record:not([disabled])').waitFor({ timeout: 8000 });
}
