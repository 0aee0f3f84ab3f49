// The answer of /api/timeline in its binary layout (docs/serve-api.md), read as typed arrays
// over the answer's bytes: nothing is parsed, and a summarised pixel is a few array reads.
'use strict';

// The timeline in its binary layout (docs/serve-api.md): typed arrays over the answer's bytes.
async function getTimeline(params) {
  const response = await fetch('/api/timeline?' + new URLSearchParams({ ...params, format: 'binary' }));
  if (!response.ok) {
    const body = await response.json().catch(() => ({}));
    throw new Error(body.error || response.statusText);
  }
  return decodeTimeline(await response.arrayBuffer());
}

function decodeTimeline(buffer) {
  const view = new DataView(buffer);
  const u32 = (at) => view.getUint32(at, true);
  const u64 = (at) => Number(view.getBigUint64(at, true));
  if (u32(0) !== 0x424c5456 || u32(4) !== 1) throw new Error('unknown timeline layout');
  const width = u32(48);
  const [tileCount, summaries, rows, steps, pairs, strings, kinds, kernels] =
    [52, 56, 60, 64, 68, 72, 76, 80].map(u32);
  let at = 96;
  const section = (bytes) => {
    const here = at;
    at = Math.ceil((at + bytes) / 8) * 8;
    return here;
  };
  const words = (count) => new Uint32Array(buffer, section(4 * count), count);
  const tileWords = words(4 * tileCount);
  const planes = [];
  for (let p = 0; p < 6; ++p) {
    const bytes = view.getUint8(84 + p);
    const count = summaries * width;
    const start = section(count * bytes);
    planes.push(bytes === 1 ? new Uint8Array(buffer, start, count)
      : bytes === 2 ? new Uint16Array(buffer, start, count)
        : bytes === 4 ? new Uint32Array(buffer, start, count)
          : Float64Array.from(new BigUint64Array(buffer, start, count), Number));
  }
  const columns = [0, 1, 2, 3, 4].map(() => words(rows));
  const stepTable = words(6 * steps);
  const pairTable = words(2 * pairs);
  const offsets = new Uint32Array(buffer, at, strings + 1);
  const textBytes = new Uint8Array(buffer, at + 4 * (strings + 1), u32(92));
  const decoder = new TextDecoder();
  const text = (i) => decoder.decode(textBytes.subarray(offsets[i], offsets[i + 1]));
  const names = (first, count) => Array.from({ length: count }, (_, i) => text(first + i));
  const tiles = [];
  for (let t = 0; t < tileCount; ++t) {
    const summary = tileWords[4 * t + 1];
    tiles.push({ tile: tileWords[4 * t], summary: summary === 0xffffffff ? null : summary,
      first: tileWords[4 * t + 2], count: tileWords[4 * t + 3] });
  }
  return {
    from: u64(8), to: u64(16), clock_hz: u64(24), bucket_cycles: u64(32),
    cycles_per_pixel: view.getFloat64(40, true), width, tiles, planes,
    kinds: names(0, kinds), kernels: names(kinds, kernels),
    // Step row r: [offset, duration, kind, kernel, step number, phase, epoch].
    step(r) {
      const s = 6 * columns[2][r];
      return [columns[0][r], columns[1][r], stepTable[s + 1], stepTable[s + 2], stepTable[s],
        columns[3][r], columns[4][r]];
    },
    // The operation and the metadata pairs of step row r.
    texts(r) {
      const s = 6 * columns[2][r];
      const metadata = [];
      for (let m = 0; m < stepTable[s + 5]; ++m) {
        const pair = 2 * (stepTable[s + 4] + m);
        metadata.push([text(pairTable[pair]), text(pairTable[pair + 1])]);
      }
      return [text(stepTable[s + 3]), metadata];
    },
    // Pixel i of a summarised tile: [compute, exchange, synchronization, idle, steps, kernel].
    pixel(tile, i) {
      const at = tile.summary * width + i;
      const kernel = planes[5][at];
      return [0, 1, 2, 3, 4].map((p) => planes[p][at]).concat([kernel ? kernel - 1 : null]);
    },
  };
}
