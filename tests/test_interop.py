"""The callable type every brindle function and method is built with."""

import gc
import inspect
import pydoc

import pytest

from brindle import joinery
from brindle.cellarage import PersistenceCoordinator
from brindle.lookout import CacheQuery
from brindle.stowage import CacheStore
from brindle.tidewatch import TTLRegistry


@pytest.mark.parametrize("fn", [
    joinery.create_duckdb_table_from_df,
    joinery.create_duckdb_view,
    CacheQuery.query,
    TTLRegistry.start_cleanup_thread,
    PersistenceCoordinator.delete_from_external,
], ids=lambda fn: fn.__qualname__)
def test_default_values_are_visible_to_the_garbage_collector(fn):
    # A cycle running through a default value can only be collected if the
    # function reports the value among its referents.
    defaults = [p.default for p in inspect.signature(fn).parameters.values() if p.default is not p.empty]
    referents = gc.get_referents(fn)
    assert defaults and all(any(r is d for r in referents) for d in defaults)


PUBLIC = [getattr(cls, name) for cls in (CacheStore, CacheQuery) for name in vars(cls)
          if not name.startswith("_") or name == "__init__"]
PUBLIC += [fn for name, fn in vars(joinery).items()
           if not name.startswith("_") and getattr(fn, "__module__", None) == "brindle.joinery"]


@pytest.mark.parametrize("fn", PUBLIC, ids=lambda fn: fn.__qualname__)
def test_every_public_callable_says_in_one_line_what_it_does(fn):
    doc = fn.__doc__
    assert isinstance(doc, str) and doc.strip() and "\n" not in doc
    assert doc in pydoc.render_doc(fn, renderer=pydoc.plaintext)
