"""The engines people query with, pushing their projection and predicate into
sarnio: a polars lazy scan (IO plugin) and a pyarrow dataset as DuckDB scans
it.  Each must give exactly the rows a plain read gives, while reading only
the chunks the footer cannot rule out."""

import pytest

import sarnio

pl = pytest.importorskip("polars", reason="the lazy scan needs polars")
pa = pytest.importorskip("pyarrow", reason="needs pyarrow")

import sarnio.polars  # noqa: E402

ORIGINS = ["ATL", "BOS", "DEN", "LAX", "ORD", "SEA", "SFO"]


@pytest.fixture(scope="module")
def sorted_by_origin(tmp_path_factory):
    """Seven chunks, one origin each (65,536 rows a chunk), with an integer
    delay column: selective queries can skip six of seven chunks."""
    folder = tmp_path_factory.mktemp("engines")
    csv = folder / "flights.csv"
    with open(csv, "w") as out:
        out.write("origin,delay,dest\n")
        for k, origin in enumerate(ORIGINS):
            for i in range(65536):
                out.write(f"{origin},{(i * 37 + k) % 300 - 20},{ORIGINS[(i + k) % 7]}\n")
    sarn = folder / "flights.sarn"
    sarnio.compress_csv(csv, sarn, threads=2)
    return sarn


def test_polars_scan_pushes_the_predicate_and_projection(sorted_by_origin):
    with sarnio.open(sorted_by_origin) as f:
        everything = pl.DataFrame(f.read())
        frame = sarnio.polars.scan_sarn(f)
        got = frame.filter(pl.col("origin") == "SFO").select("dest").collect()
        assert got.equals(everything.filter(pl.col("origin") == "SFO").select("dest"))
        assert f.last_scan.chunks_read == 1 and f.last_scan.chunks_skipped == 6
        # Parts polars cannot hand down still filter exactly.
        query = frame.filter((pl.col("origin").is_in(["BOS", "SEA"])) & (pl.col("dest").str.starts_with("S")))
        expected = everything.filter((pl.col("origin").is_in(["BOS", "SEA"])) & (pl.col("dest").str.starts_with("S")))
        assert query.collect().equals(expected)
        assert f.last_scan.chunks_read == 2
        # An OR with an unpushable branch reads everything, and is still right.
        either = (pl.col("origin") == "ATL") | (pl.col("dest").str.len_chars() > 5)
        assert frame.filter(either).collect().equals(everything.filter(either))
        assert f.last_scan.chunks_read == 7


def test_polars_scan_stops_early_and_sizes_batches(sorted_by_origin):
    frame = sarnio.polars.scan_sarn(sorted_by_origin)
    head = frame.head(10).collect()
    assert head.height == 10 and head["origin"].to_list() == ["ATL"] * 10
    assert frame.select(pl.len()).collect().item() == 7 * 65536
    assert frame.collect_schema() == {"origin": pl.String, "delay": pl.String, "dest": pl.String}


@pytest.mark.parametrize(
    "predicate",
    [
        lambda: pl.col("origin") == "SFO",
        lambda: pl.col("origin").is_in(["ATL", "LAX"]),
        lambda: (pl.col("origin") > "LAX") & (pl.col("origin") <= "SEA"),
        lambda: pl.col("origin").is_between(pl.lit("BOS"), pl.lit("DEN")),
        lambda: pl.lit("SFO") == pl.col("origin"),
    ],
)
def test_polars_results_equal_a_plain_read(sorted_by_origin, predicate):
    with sarnio.open(sorted_by_origin) as f:
        expected = pl.DataFrame(f.read()).filter(predicate())
        got = sarnio.polars.scan_sarn(f).filter(predicate()).collect()
        assert got.equals(expected)
        assert f.last_scan.chunks_read < 7


def test_duckdb_scans_the_dataset_with_pushdown(sorted_by_origin):
    duckdb = pytest.importorskip("duckdb", reason="the DuckDB path needs duckdb")
    with sarnio.open(sorted_by_origin) as f:
        flights = sarnio.dataset(f)  # noqa: F841 (DuckDB finds the dataset by its variable name)
        rows = f.read()
        expected = sum(1 for o in rows["origin"] if o == "SFO")
        assert duckdb.sql("SELECT count(*) FROM flights WHERE origin = 'SFO'").fetchall() == [(expected,)]
        assert f.last_scan.chunks_read == 1
        got = duckdb.sql("SELECT dest, count(*) FROM flights WHERE origin IN ('BOS', 'SEA') "
                         "AND dest LIKE 'S%' GROUP BY dest ORDER BY dest").fetchall()
        want = {}
        for o, d in zip(rows["origin"], rows["dest"]):
            if o in ("BOS", "SEA") and d.startswith("S"):
                want[d] = want.get(d, 0) + 1
        assert got == sorted(want.items())
        total = duckdb.sql("SELECT count(*) FROM flights").fetchall()
        assert total == [(7 * 65536,)]


def test_the_dataset_answers_pyarrow_calls(sorted_by_origin):
    import pyarrow.compute as pc

    d = sarnio.dataset(sorted_by_origin)
    table = d.to_table(columns=["dest"], filter=pc.field("origin") == "DEN")
    assert table.column_names == ["dest"] and table.num_rows == 65536
    assert d.count_rows() == 7 * 65536
    assert d.count_rows(filter=pc.field("origin") == "ORD") == 65536
    assert d.head(3, columns=["origin"]).to_pydict() == {"origin": ["ATL"] * 3}
    with pytest.raises(NotImplementedError):
        d.get_fragments()
