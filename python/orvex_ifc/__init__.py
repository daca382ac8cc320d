"""Converts IFC building models into orvex model texts."""

from .cache import CachedModel, Source, convert_cached, default_cache_dir
from .converter import (CONVERTER_REVISION, DEFAULT_CHUNK_SIZE, DEFAULT_EXCLUDE, IfcReadError,
                        Summary, available_cores, convert, model_lines, open_ifc,
                        select_products, storey_name)

__all__ = ["CONVERTER_REVISION", "CachedModel", "DEFAULT_CHUNK_SIZE", "DEFAULT_EXCLUDE",
           "IfcReadError", "Source", "Summary", "available_cores", "convert", "convert_cached",
           "default_cache_dir", "model_lines", "open_ifc", "select_products", "storey_name"]
