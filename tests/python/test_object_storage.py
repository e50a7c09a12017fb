"""Containers and CSV files in object storage, through fsspec: a real
S3-compatible server on 127.0.0.1 (moto's server mode, started and stopped
here, reached through s3fs), fsspec's memory:// file system and open file
objects.  Round trips; the bytes and requests a read fetches (only the
blocks of the chunks and columns it needs); the errors of a missing object,
a denied bucket and a truncated object; sarnio.dask reading and writing a
bucket from a LocalCluster; and a job that fails while it uploads, which
leaves no object and no part behind."""

import io
import json
import sys
import threading

import pytest

pa = pytest.importorskip("pyarrow")
fsspec = pytest.importorskip("fsspec", reason="object storage is reached through fsspec (pip install '.[s3]')")
pytest.importorskip("s3fs", reason="s3:// needs s3fs (pip install '.[s3]')")
boto3 = pytest.importorskip("boto3", reason="the tests inspect the bucket with boto3 (pip install '.[test]')")
moto_server = pytest.importorskip("moto.server", reason="the S3 server of the tests is moto's (pip install '.[test]')")

import sarnio  # noqa: E402

CHUNK = 65536
BUCKET = "sarn-data"
ORIGINS = ["ATL", "BOS", "DEN", "JFK", "LAX", "ORD", "SEA", "SFO"]


# ---- the server ----------------------------------------------------------------------


@pytest.fixture(scope="session")
def s3():
    """A moto S3 server on a free port of 127.0.0.1, for the whole session:
    (endpoint URL, storage_options for s3fs, a boto3 client)."""
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        endpoint = f"http://{host}:{port}"
        options = {"key": "testing", "secret": "testing",
                   "client_kwargs": {"endpoint_url": endpoint, "region_name": "us-east-1"}}
        client = boto3.client("s3", endpoint_url=endpoint, aws_access_key_id="testing",
                              aws_secret_access_key="testing", region_name="us-east-1")
        client.create_bucket(Bucket=BUCKET)
        yield endpoint, options, client
    finally:
        server.stop()


def s3fs_of(options):
    import s3fs

    # A fresh instance, not fsspec's cached one: what one test uploads the
    # next must see, without a listing cached in between.
    return s3fs.S3FileSystem(skip_instance_cache=True, **options)


# ---- the data --------------------------------------------------------------------------


def write_flights_csv(path, rows):
    """`rows` flights sorted by origin: each origin fills a run of chunks,
    so a filter on it leaves few."""
    with open(path, "w") as f:
        f.write("origin,delay,note\n")
        for i in range(rows):
            origin = ORIGINS[i * len(ORIGINS) // rows]
            f.write(f"{origin},{(i * 37) % 301 - 50},n{(i * 7919) % 100003}\n")


@pytest.fixture(scope="module")
def flights(tmp_path_factory):
    """A local container of 8 chunks sorted by origin (one chunk each), its bytes, and the
    same rows as a CSV file."""
    folder = tmp_path_factory.mktemp("flights")
    csv = folder / "flights.csv"
    write_flights_csv(csv, 8 * CHUNK)
    local = folder / "flights.sarn"
    sarnio.compress_csv(csv, local, types="infer")
    return local, local.read_bytes(), csv


@pytest.fixture(scope="module")
def in_bucket(s3, flights):
    """The container uploaded to the bucket: its s3:// URL."""
    _, options, client = s3
    client.put_object(Bucket=BUCKET, Key="flights.sarn", Body=flights[1])
    return f"s3://{BUCKET}/flights.sarn"


@pytest.fixture()
def in_memory(flights):
    fs = fsspec.filesystem("memory")
    fs.pipe("/sarn-tests/flights.sarn", flights[1])
    yield "memory://sarn-tests/flights.sarn"
    fs.rm("/sarn-tests", recursive=True)


@pytest.fixture(params=["s3", "memory", "file object"])
def remote(request, s3, flights):
    """One container, opened from each kind of remote source: a function
    that opens it."""
    if request.param == "s3":
        url = request.getfixturevalue("in_bucket")
        return lambda: sarnio.open(url, storage_options=s3[1])
    if request.param == "memory":
        url = request.getfixturevalue("in_memory")
        return lambda: sarnio.open(url)
    return lambda: sarnio.open(io.BytesIO(flights[1]))


def block_bytes(f, chunks, columns):
    """The stored bytes of the blocks of `columns` in `chunks`."""
    sizes = f._open_table().block_sizes()
    indexes = [[field.name for field in f.schema].index(c) for c in columns]
    return sum(sizes[chunk][i] for chunk in chunks for i in indexes)


# ---- reading ---------------------------------------------------------------------------


def test_remote_reads_equal_the_local_file(remote, flights):
    with sarnio.open(flights[0]) as local, remote() as f:
        assert f.schema == local.schema and f.num_rows == local.num_rows
        assert f.to_arrow().equals(local.to_arrow())
        assert f.last_scan.bytes_fetched == block_bytes(f, range(f.num_chunks), ["origin", "delay", "note"])
        assert local.last_scan.bytes_fetched is None and local.fetched is None
        assert f.read(columns=["delay"], threads=1) == local.read(columns=["delay"], threads=1)
        batches = list(f.iter_batches(columns=["origin"], filters=[("delay", ">", 240)], threads=3))
        assert batches == list(local.iter_batches(columns=["origin"], filters=[("delay", ">", 240)], threads=3))
        assert pa.table(f).equals(local.to_arrow())
        f.verify()


def test_a_selective_read_fetches_only_the_blocks_it_decodes(remote):
    with remote() as f:
        opened = f.fetched
        # The head and the tail, in one or two requests (and one to learn
        # the size, for a URL).
        assert opened.requests <= 3
        table = f.to_arrow(columns=["delay"], filters=[("origin", "==", "SFO")])
        assert set(table.column("delay").to_pylist()) <= set(range(-50, 251)) and table.num_rows == CHUNK
        scan = f.last_scan
        # SFO is the last eighth of the sorted rows: the last chunk.
        assert (scan.chunks_read, scan.chunks_skipped) == (1, 7)
        needed = block_bytes(f, [7], ["origin", "delay"])
        assert needed <= scan.bytes_fetched <= 1.2 * needed
        assert scan.bytes_fetched < len_of(f) / 6
        # One column of every chunk: that column's blocks, never the others.
        f.read(columns=["delay"])
        needed = block_bytes(f, range(8), ["delay"])
        assert needed <= f.last_scan.bytes_fetched <= 1.2 * needed
        assert f.fetched.bytes == opened.bytes + scan.bytes_fetched + f.last_scan.bytes_fetched


def len_of(f):
    return sum(sum(chunk) for chunk in f._open_table().block_sizes())


def test_engines_read_a_remote_file_on_several_threads(s3, in_bucket, flights):
    """A consumer that holds the interpreter lock while it waits for a batch
    (polars takes the Arrow stream in native code) must not stall the fetches."""
    pl = pytest.importorskip("polars")
    with sarnio.open(flights[0]) as local, sarnio.open(in_bucket, storage_options=s3[1]) as f:
        assert pl.DataFrame(f).equals(pl.DataFrame(local))
        from sarnio.polars import scan_sarn

        lazy = scan_sarn(in_bucket, storage_options=s3[1])
        got = lazy.filter(pl.col("origin") == "SFO").select("delay").collect()
        assert got["delay"].to_list() == local.read(columns=["delay"], filters=[("origin", "==", "SFO")])["delay"]


@pytest.mark.parametrize("where", ["no such key", "no such bucket"])
def test_a_missing_object_is_file_not_found(s3, where):
    url = f"s3://{BUCKET}/missing.sarn" if where == "no such key" else "s3://no-such-bucket/flights.sarn"
    with pytest.raises(FileNotFoundError) as e:
        sarnio.open(url, storage_options=s3[1])
    assert e.value.filename == url


def deny_everything(client, bucket):
    client.put_bucket_policy(Bucket=bucket, Policy=json.dumps({
        "Version": "2012-10-17",
        "Statement": [{"Effect": "Deny", "Principal": "*", "Action": "s3:GetObject",
                       "Resource": [f"arn:aws:s3:::{bucket}/*"]}]}))


def test_a_denied_bucket_is_permission_error(s3, flights):
    _, options, client = s3
    client.create_bucket(Bucket="sarn-locked")
    client.put_object(Bucket="sarn-locked", Key="flights.sarn", Body=flights[1])
    url = "s3://sarn-locked/flights.sarn"
    with sarnio.open(url, storage_options=options) as f:
        # Access taken away after opening: the read raises the fetch's own error.
        deny_everything(client, "sarn-locked")
        with pytest.raises(PermissionError) as e:
            f.to_arrow()
        assert e.value.filename == url
        with pytest.raises(PermissionError):
            list(f.iter_batches(threads=2))
    with pytest.raises(PermissionError) as e:
        sarnio.open(url, storage_options=options)
    assert e.value.filename == url


@pytest.mark.parametrize("cut", [1, 100, 5000, 200_000])
def test_a_truncated_object_is_a_format_error(s3, flights, cut):
    _, options, client = s3
    client.put_object(Bucket=BUCKET, Key=f"cut-{cut}.sarn", Body=flights[1][:-cut])
    with pytest.raises(sarnio.SarnFormatError, match=f"s3://{BUCKET}/cut-{cut}.sarn: incomplete container"):
        sarnio.open(f"s3://{BUCKET}/cut-{cut}.sarn", storage_options=options)


def test_an_object_cut_short_after_opening_is_a_format_error(s3, flights):
    _, options, client = s3
    client.put_object(Bucket=BUCKET, Key="shrinks.sarn", Body=flights[1])
    with sarnio.open(f"s3://{BUCKET}/shrinks.sarn", storage_options=options) as f:
        client.put_object(Bucket=BUCKET, Key="shrinks.sarn", Body=flights[1][: len(flights[1]) // 2])
        with pytest.raises(sarnio.SarnFormatError, match="unexpected end of file"):
            f.to_arrow()


def test_sources_refused_with_a_clear_error(tmp_path, flights, monkeypatch):
    with pytest.raises(ValueError, match="storage_options are for URLs"):
        sarnio.open(flights[0], storage_options={"anon": True})
    with open(flights[0]) as text:
        with pytest.raises(TypeError, match="binary mode"):
            sarnio.open(text)

    class Pipe(io.RawIOBase):
        def readable(self):
            return True

        def seekable(self):
            return False

    with pytest.raises(ValueError, match="cannot seek"):
        sarnio.open(Pipe())
    monkeypatch.setitem(sys.modules, "fsspec", None)
    with pytest.raises(ImportError, match=r"sarn_fileformat\[s3\]"):
        sarnio.open("s3://bucket/key.sarn")
    # A local path that merely looks odd stays a path.
    with pytest.raises(FileNotFoundError):
        sarnio.open(tmp_path / "s3:" / "x.sarn")


def test_file_urls_are_local_files(flights):
    with sarnio.open("file://" + str(flights[0])) as f:
        assert f.fetched is None and f.num_rows == 8 * CHUNK


def test_a_file_object_keeps_its_position(flights):
    buffer = io.BytesIO(flights[1])
    buffer.seek(17)
    with sarnio.open(buffer) as f:
        f.read(columns=["origin"], filters=[("origin", "==", "ATL")])
    assert buffer.tell() == 17


def test_threads_reading_one_remote_file_at_once(s3, in_bucket, flights):
    with sarnio.open(flights[0]) as local:
        want = local.read(columns=["note"], filters=[("origin", "in", ["BOS", "SEA"])])
    with sarnio.open(in_bucket, storage_options=s3[1]) as f:
        got = [None] * 4

        def read(i):
            got[i] = f.read(columns=["note"], filters=[("origin", "in", ["BOS", "SEA"])], threads=2)

        workers = [threading.Thread(target=read, args=(i,)) for i in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    assert got == [want] * 4


# ---- writing ---------------------------------------------------------------------------


def masked(data):
    """A container's bytes with the creation time (header bytes 24..31) zeroed."""
    data = bytearray(data)
    data[24:32] = bytes(8)
    return bytes(data)


def pending_uploads(client, key=None):
    uploads = client.list_multipart_uploads(Bucket=BUCKET).get("Uploads", [])
    return [u for u in uploads if key is None or u["Key"] == key]


def has_object(client, key):
    return client.list_objects_v2(Bucket=BUCKET, Prefix=key).get("KeyCount", 0) > 0


@pytest.mark.parametrize("source,target,types", [
    ("s3", "s3", None),
    ("s3", "local", "infer"),  # inferring reads twice: the object is downloaded first
    ("local", "s3", "infer"),
    ("memory", "memory", None),
])
def test_compress_csv_between_urls_writes_the_local_bytes(s3, flights, tmp_path, source, target, types):
    _, options, client = s3
    csv = flights[2]
    want = tmp_path / "want.sarn"
    sarnio.compress_csv(csv, want, types=types)
    key = f"written/{source}-{target}-{types}.sarn"
    urls = {"s3": (f"s3://{BUCKET}/flights.csv", f"s3://{BUCKET}/{key}"),
            "memory": ("memory://sarn-write/flights.csv", f"memory://sarn-write/{key}"),
            "local": (str(csv), str(tmp_path / "got.sarn"))}
    client.upload_file(str(csv), BUCKET, "flights.csv")
    fsspec.filesystem("memory").pipe("/sarn-write/flights.csv", csv.read_bytes())
    seen = []
    result = sarnio.compress_csv(urls[source][0], urls[target][1], types=types,
                                 storage_options=s3[1] if "s3" in (source, target) else None,
                                 progress=lambda done, total: seen.append((done, total)))
    if target == "s3":
        got = client.get_object(Bucket=BUCKET, Key=key)["Body"].read()
    elif target == "memory":
        got = fsspec.filesystem("memory").cat(f"/sarn-write/{key}")
    else:
        got = (tmp_path / "got.sarn").read_bytes()
    assert masked(got) == masked(want.read_bytes())
    assert result.input_bytes == csv.stat().st_size and result.output_bytes == len(got)
    # The object's length stands for the pipe's unknown one.
    assert seen[-1] == (csv.stat().st_size, csv.stat().st_size)
    assert not pending_uploads(client)


def write_bad_csv(path, rows, bad_at):
    with open(path, "w") as f:
        f.write("origin,delay,note\n")
        for i in range(rows):
            f.write(f"{ORIGINS[i % 8]},{i % 97},n{i}\n" if i != bad_at else "SFO,1,x,extra\n")


def test_a_job_that_fails_late_leaves_no_object(s3, tmp_path):
    _, options, client = s3
    csv = tmp_path / "late.csv"
    write_bad_csv(csv, 5 * CHUNK, 5 * CHUNK - 10)
    client.upload_file(str(csv), BUCKET, "late.csv")
    with pytest.raises(sarnio.SarnError, match=rf"s3://{BUCKET}/late.csv: line {5 * CHUNK - 8}: 4 fields"):
        sarnio.compress_csv(f"s3://{BUCKET}/late.csv", f"s3://{BUCKET}/late.sarn", storage_options=options)
    assert not has_object(client, "late.sarn") and not pending_uploads(client)


def test_a_failed_upload_leaves_no_object_and_no_part(s3, tmp_path, monkeypatch):
    """An upload of several parts that fails after some were stored: the
    multipart upload is aborted, and the key stays as it was."""
    import asyncio
    import os as _os

    import s3fs

    import sarnio._transfer

    _, options, client = s3
    csv = tmp_path / "noise.csv"
    with open(csv, "w") as f:  # random text: a container of some 13 MB, three parts of 5 MiB
        f.write("id,blob\n")
        for i in range(40_000):
            f.write(f"{i},{_os.urandom(300).hex()}\n")
    monkeypatch.setattr(sarnio._transfer, "UPLOAD_PART_BYTES", 5 << 20)
    parts_stored = []
    real_call = s3fs.S3FileSystem._call_s3

    async def flaky(self, method, *args, **kwargs):
        if method == "upload_part" and kwargs.get("PartNumber", 0) >= 2:
            # Parts may go side by side: fail once the first is stored.
            for _ in range(500):
                if parts_stored:
                    break
                await asyncio.sleep(0.01)
            raise ConnectionResetError(104, "Connection reset by peer")
        result = await real_call(self, method, *args, **kwargs)
        if method == "upload_part":
            parts_stored.append(kwargs["PartNumber"])
        return result

    monkeypatch.setattr(s3fs.S3FileSystem, "_call_s3", flaky)
    with pytest.raises(OSError) as e:
        sarnio.compress_csv(csv, f"s3://{BUCKET}/upload.sarn", storage_options=options)
    assert e.value.filename == f"s3://{BUCKET}/upload.sarn"
    assert parts_stored == [1]  # the failure came after a part was stored
    assert not has_object(client, "upload.sarn") and not pending_uploads(client)


# ---- Dask -----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def cluster_client():
    """Two worker processes on the loopback interface: each opens its own
    connection to the S3 server."""
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()


@pytest.fixture(scope="module")
def bucket_files(s3, tmp_path_factory):
    """Three small containers under one prefix, their local copies beside."""
    _, options, client = s3
    folder = tmp_path_factory.mktemp("parts")
    paths = []
    for k, rows in enumerate([150_000, 70_000, 10]):
        csv = folder / f"p{k}.csv"
        with open(csv, "w") as f:
            f.write("origin,delay,note\n")
            for i in range(rows):
                f.write(f"{ORIGINS[min(i * 8 // rows, 7)] if k < 2 else 'SFO'},{(i * 13) % 200},n{k}-{i}\n")
        local = folder / f"p{k}.sarn"
        sarnio.compress_csv(csv, local, types="infer")
        client.upload_file(str(local), BUCKET, f"parts/p{k}.sarn")
        paths.append(local)
    return paths


def test_read_sarn_from_a_bucket_on_a_cluster(s3, cluster_client, bucket_files):
    import pandas as pd

    import sarnio.dask

    filters = [("origin", "in", ["ORD", "SFO"])]
    df = sarnio.dask.read_sarn(f"s3://{BUCKET}/parts/p*.sarn", columns=["origin", "delay"], filters=filters,
                               storage_options=s3[1])
    local = sarnio.dask.read_sarn([str(p) for p in bucket_files], columns=["origin", "delay"], filters=filters)
    assert df.npartitions == local.npartitions < sum(sarnio.open(p).num_chunks for p in bucket_files)
    got = df.compute(scheduler=cluster_client.get).reset_index(drop=True)
    pd.testing.assert_frame_equal(got, local.compute(scheduler="sync").reset_index(drop=True))
    # A glob that matches nothing, and an object replaced after planning.
    with pytest.raises(FileNotFoundError):
        sarnio.dask.read_sarn(f"s3://{BUCKET}/parts/none*.sarn", storage_options=s3[1])
    planned = sarnio.dask.read_sarn(f"s3://{BUCKET}/parts/p2.sarn", storage_options=s3[1])
    s3[2].upload_file(str(bucket_files[1]), BUCKET, "parts/p2.sarn")
    try:
        with pytest.raises(RuntimeError, match="changed after the read was planned"):
            planned.compute(scheduler=cluster_client.get)
    finally:
        s3[2].upload_file(str(bucket_files[2]), BUCKET, "parts/p2.sarn")


def test_dask_compress_csv_and_compress_many_write_the_bucket(s3, cluster_client, flights, tmp_path):
    import sarnio.dask

    _, options, client = s3
    csv = flights[2]
    client.upload_file(str(csv), BUCKET, "dask/in/flights.csv")
    want = tmp_path / "want.sarn"
    sarnio.compress_csv(csv, want)
    result = sarnio.dask.compress_csv(f"s3://{BUCKET}/dask/in/flights.csv", f"s3://{BUCKET}/dask/out/flights.sarn",
                                      client=cluster_client, blocksize="2 MiB", storage_options=options)
    got = client.get_object(Bucket=BUCKET, Key="dask/out/flights.sarn")["Body"].read()
    assert masked(got) == masked(want.read_bytes()) and result.output_bytes == len(got)
    local = tmp_path / "local.csv"
    local.write_bytes(csv.read_bytes())
    results = sarnio.dask.compress_many([f"s3://{BUCKET}/dask/in/flights.csv", local], f"s3://{BUCKET}/dask/many",
                                        client=cluster_client, storage_options=options)
    assert [r.rows for r in results] == [8 * CHUNK, 8 * CHUNK]
    for key in ("dask/many/flights.sarn", "dask/many/local.sarn"):
        assert masked(client.get_object(Bucket=BUCKET, Key=key)["Body"].read()) == masked(want.read_bytes())
    # A failing job leaves nothing behind.
    bad = tmp_path / "bad.csv"
    write_bad_csv(bad, 3 * CHUNK, 3 * CHUNK - 5)
    client.upload_file(str(bad), BUCKET, "dask/in/bad.csv")
    with pytest.raises(sarnio.SarnError, match=rf"s3://{BUCKET}/dask/in/bad.csv: line"):
        sarnio.dask.compress_csv(f"s3://{BUCKET}/dask/in/bad.csv", f"s3://{BUCKET}/dask/out/bad.sarn",
                                 client=cluster_client, blocksize="1 MiB", storage_options=options)
    assert not has_object(client, "dask/out/bad.sarn") and not pending_uploads(client)
