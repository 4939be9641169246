"""Tables as UTF-8 CSV files, whatever the locale, and as Parquet files.

`write_csv` writes a DataFrame. `Columns` is a table read a chunk of rows at a time (the
tracks and detections of a run, built from the result's arrays); `write_columns` writes it as
CSV, and as Parquet when asked, one chunk at a time, so that writing needs memory for a chunk
beyond the arrays the table is read from. Both writers give the same bytes for the same
table, and a Parquet file holds the same values under the same column names and types as its
CSV (NaN is an empty field in the CSV and a null in the Parquet file, as pandas and pyarrow
convert a DataFrame).
"""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Iterator

from .text import utf8_text

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd
    import pyarrow as pa

CHUNK_ROWS = 500_000          # rows per chunk written: about 20 MB of columns for a track table
PARQUET_ROWS = 1_000_000      # a run writes its tables as Parquet too, unless told, above this many rows


def write_csv(table: pd.DataFrame, path: str | Path, *, index: bool = False) -> None:
    """Write a table as UTF-8 CSV (without its index unless asked): with pyarrow's
    multi-threaded writer when it is installed (about 8x faster than pandas on millions of
    rows), else pandas. Numbers are written in their shortest exact form; strings are not
    quoted unless they must be."""
    if index:
        table = table.reset_index()
    try:
        import pyarrow as pa
        import pyarrow.csv as pcsv
    except ImportError:
        table.to_csv(path, index=False, encoding="utf-8", lineterminator="\n")
        return
    with open(path, "wb") as sink:
        sink.write(_header(table.columns))
        if len(table):
            pcsv.write_csv(pa.Table.from_pandas(table, preserve_index=False), sink, _csv_options())


def _header(names) -> bytes:
    return (",".join(utf8_text(str(c)) for c in names) + "\n").encode("utf-8")


def _csv_options():
    import pyarrow.csv as pcsv
    return pcsv.WriteOptions(include_header=False, quoting_style="needed")


@dataclass(frozen=True)
class Columns:
    """A table of `rows` rows read a chunk at a time: `read(start, stop)` gives rows start to
    stop of every column, by name in the table's order, as one-dimensional NumPy arrays whose
    types do not depend on the rows asked for (`read(0, 0)` names the columns and their types)."""

    rows: int
    read: Callable[[int, int], dict[str, np.ndarray]]

    @classmethod
    def of(cls, table: pd.DataFrame) -> Columns:
        """The columns of a DataFrame of NumPy-typed columns."""
        arrays = {name: table[name].to_numpy() for name in table.columns}
        return cls(len(table), lambda start, stop: {name: a[start:stop] for name, a in arrays.items()})

    def chunks(self, rows: int = CHUNK_ROWS) -> Iterator[dict[str, np.ndarray]]:
        """The table in chunks of `rows` rows, in order (nothing for an empty table)."""
        for start in range(0, self.rows, rows):
            yield self.read(start, min(start + rows, self.rows))

    def frame(self, names: list[str] | None = None,
              where: Callable[[dict[str, np.ndarray]], np.ndarray] | None = None, *,
              chunk_rows: int = CHUNK_ROWS) -> pd.DataFrame:
        """The table as a DataFrame: the columns `names` (None: all) of the rows where
        `where(chunk)` is true (None: all), read `chunk_rows` at a time when filtered."""
        import numpy as np
        import pandas as pd

        def pick(chunk):
            return {n: chunk[n] for n in (names or chunk)}
        if where is None:
            return pd.DataFrame(pick(self.read(0, self.rows)))
        parts = [pick({n: c[mask] for n, c in chunk.items()})
                 for chunk in self.chunks(chunk_rows) for mask in (np.asarray(where(chunk), dtype=bool),)]
        parts = parts or [pick(self.read(0, 0))]
        return pd.DataFrame({n: np.concatenate([p[n] for p in parts]) for n in parts[0]})


def _batch(chunk: dict[str, np.ndarray]) -> pa.RecordBatch:
    """The Arrow batch of a chunk, typed as `pa.Table.from_pandas` types a DataFrame of the
    same columns (NaN as null)."""
    import pyarrow as pa
    return pa.RecordBatch.from_arrays([pa.array(c, from_pandas=True) for c in chunk.values()], names=list(chunk))


def write_columns(columns: Columns, csv: str | Path, parquet: str | Path | None = None, *,
                  chunk_rows: int = CHUNK_ROWS) -> None:
    """Write `columns` as UTF-8 CSV at `csv` (the bytes `write_csv` writes for the same table)
    and, when `parquet` is given, as a Parquet file there, in one pass over the table, chunk
    by chunk (one Parquet row group per chunk)."""
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    schema = _batch(columns.read(0, 0)).schema
    with open(csv, "wb") as sink:
        sink.write(_header(schema.names))
        table_writer = pq.ParquetWriter(parquet, schema) if parquet is not None else None
        try:
            with pcsv.CSVWriter(sink, schema, write_options=_csv_options()) as csv_writer:
                for chunk in columns.chunks(chunk_rows):
                    batch = _batch(chunk)
                    csv_writer.write_batch(batch)
                    if table_writer is not None:
                        table_writer.write_batch(batch)
        finally:
            if table_writer is not None:
                table_writer.close()
