"""Clash reports: the data model the ``orvex`` command fills and the writers that turn it into
files (BCF archives, a self-contained HTML page)."""
from .bcf import write_bcf
from .geometry import DictGeometry, GeometrySource
from .html import write_html
from .model import CheckInfo, Clash, ModelInfo, ObjectRef, Report

__all__ = ["CheckInfo", "Clash", "DictGeometry", "GeometrySource", "ModelInfo", "ObjectRef",
           "Report", "write_bcf", "write_html"]
