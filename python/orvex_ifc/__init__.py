"""Converts IFC building models into orvex model texts."""

from .converter import (DEFAULT_CHUNK_SIZE, DEFAULT_EXCLUDE, IfcReadError, Summary, convert,
                      model_lines, open_ifc, select_products)

__all__ = ["DEFAULT_CHUNK_SIZE", "DEFAULT_EXCLUDE", "IfcReadError", "Summary", "convert",
           "model_lines", "open_ifc", "select_products"]
