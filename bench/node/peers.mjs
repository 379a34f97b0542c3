// One timed load of a tab-separated table by a peer that comes from npm,
// for bench/peers.py (one node process per call, as the R rows run one
// Rscript per call).
//
// usage: node bench/node/peers.mjs duckdb|polars THREADS PATH COLUMNS
//        node bench/node/peers.mjs --probe
//
// The file's lines start with a tab, so each has an empty first field and
// then COLUMNS numbers. Both tools are told the numbers are 32-bit floats and
// keep those COLUMNS columns. The clock runs around the read alone: not
// node's start-up, not the module load, not the connection or the settings.
// After the clock stops, the script prints one JSON line: the seconds, the
// process CPU seconds spent in the read, and what the tool holds (rows, the
// column types, nulls per column, the first and the last row) so that the
// caller can check every value was parsed.
//
// Polars takes its thread count from POLARS_MAX_THREADS when its module
// loads: this script sets it before importing the module.

import { mkdtempSync, rmSync, statSync, symlinkSync } from "node:fs";
import { tmpdir } from "node:os";
import { basename, extname, join } from "node:path";

const [tool, threadsArg, path, columnsArg] = process.argv.slice(2);

async function probe() {
  const found = {};
  for (const [name, load] of [["duckdb", loadDuckDB], ["polars", loadPolars]]) {
    try {
      await load();
      found[name] = "ok";
    } catch (e) {
      found[name] = String(e && e.message ? e.message : e).split("\n")[0];
    }
  }
  console.log(JSON.stringify(found));
}

async function loadDuckDB() {
  return await import("@duckdb/node-api");
}

async function loadPolars() {
  const mod = await import("nodejs-polars");
  const pl = mod.default ?? mod;
  pl.DataFrame({ a: [1] });  // the platform binary is loaded lazily by some releases: touch it
  return pl;
}

function clock(read) {
  return async () => {
    const cpu0 = process.cpuUsage();
    const t0 = process.hrtime.bigint();
    const held = await read();
    const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
    const cpu = process.cpuUsage(cpu0);
    return { held, seconds, cpu: (cpu.user + cpu.system) / 1e6 };
  };
}

async function duckdb(threads, file, columns) {
  const { DuckDBInstance } = await loadDuckDB();
  const instance = await DuckDBInstance.create(":memory:");
  const connection = await instance.connect();
  await connection.run(`SET threads = ${threads}`);
  const names = Array.from({ length: columns }, (_, i) => `c${i + 1}`);
  const types = ["'c0': 'VARCHAR'", ...names.map((n) => `'${n}': 'FLOAT'`)].join(", ");
  const literal = "'" + file.replaceAll("'", "''") + "'";
  const sql = `CREATE TABLE t AS SELECT ${names.join(", ")} FROM read_csv(${literal}, delim = '\\t', `
    + `header = false, auto_detect = false, columns = {${types}})`;
  const timed = await clock(() => connection.run(sql))();

  const one = async (q) => (await connection.runAndReadAll(q)).getRowsJS();
  const [[rows, ...nulls]] = await one(`SELECT count(*), ${names.map((n) => `count(*) - count(${n})`).join(", ")} FROM t`);
  const kinds = (await one("DESCRIBE t")).map((r) => r[1]);
  const first = (await one("SELECT * FROM t LIMIT 1"))[0];
  const last = (await one(`SELECT * FROM t LIMIT 1 OFFSET ${Number(rows) - 1}`))[0];
  const setting = (await one("SELECT current_setting('threads')"))[0][0];
  connection.closeSync();
  instance.closeSync();
  return { ...timed, rows: Number(rows), types: kinds, nulls: nulls.map(Number), first, last,
           threads: Number(setting) };
}

async function polars(threads, file, columns) {
  process.env.POLARS_MAX_THREADS = String(threads);
  const pl = await loadPolars();
  const names = Array.from({ length: columns + 1 }, (_, i) => `column_${i + 1}`);
  const schema = Object.fromEntries(names.map((n, i) => [n, i === 0 ? pl.Utf8 : pl.Float32]));
  const options = { sep: "\t", hasHeader: false, schema, columns: names.slice(1), numThreads: threads };
  // readCSV takes a string as a file's name only when it ends in .csv or
  // .tsv, and as the table's text otherwise: other names go through a link.
  let named = file, folder = null;
  if (![".csv", ".tsv"].includes(extname(file))) {
    folder = mkdtempSync(join(tmpdir(), "gridvane-polars-"));
    named = join(folder, basename(file) + ".tsv");
    symlinkSync(file, named);
  }
  const timed = await clock(() => pl.readCSV(named, options))();
  if (folder) rmSync(folder, { recursive: true });

  const frame = timed.held;
  const row = (i) => frame.row(i).map(Number);
  return { ...timed, rows: frame.height, types: frame.dtypes.map(String),
           nulls: frame.getColumns().map((s) => s.nullCount()), first: row(0), last: row(frame.height - 1),
           threads: Number(process.env.POLARS_MAX_THREADS) };
}

async function main() {
  if (tool === "--probe") return probe();
  const read = { duckdb, polars }[tool];
  const threads = Number(threadsArg), columns = Number(columnsArg);
  if (!read || !(threads > 0) || !path || !(columns > 0)) {
    console.error("usage: node peers.mjs duckdb|polars THREADS PATH COLUMNS | --probe");
    process.exit(2);
  }
  statSync(path);  // a missing file fails here, with its name
  const { held, ...report } = await read(threads, path, columns);
  console.log(JSON.stringify(report));
}

await main();
