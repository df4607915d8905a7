"""Typed references to game-catalog records for pydantic, and the manager of the game's network services."""

from importlib.metadata import version

__version__ = version("zorvia")
