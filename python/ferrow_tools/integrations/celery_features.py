"""Celery's mingle and gossip for the Ferrow transport.

Celery's worker turns these two on only for the transports it names in
`compatible_transports` ("amqp", "redis"): they need fanout and topic
exchanges that reach other processes, which the Ferrow transport has. The
name "ferrow" is added to both sets when Celery's modules are imported (or at
once, if they were), so that loading the transport does not import Celery's
worker into every process that merely publishes.
"""
from __future__ import annotations

import importlib.abc
import importlib.machinery
import sys
import types
from typing import Any, Optional, Sequence

__all__ = ["enable_for"]

# Module of each worker step, and the step's class.
STEPS = {"celery.worker.consumer.mingle": "Mingle", "celery.worker.consumer.gossip": "Gossip"}


def _add_driver(module: types.ModuleType, driver: str) -> None:
    step = getattr(module, STEPS[module.__name__], None)
    if step is not None:
        step.compatible_transports = set(step.compatible_transports) | {driver}


class _StepLoader(importlib.abc.Loader):
    def __init__(self, loader: Any, driver: str) -> None:
        self.loader = loader
        self.driver = driver

    def create_module(self, module_spec: importlib.machinery.ModuleSpec
                      ) -> Optional[types.ModuleType]:
        created: Optional[types.ModuleType] = self.loader.create_module(module_spec)
        return created

    def exec_module(self, module: types.ModuleType) -> None:
        self.loader.exec_module(module)
        _add_driver(module, self.driver)


class _StepFinder(importlib.abc.MetaPathFinder):
    def __init__(self, driver: str) -> None:
        self.driver = driver

    def find_spec(self, fullname: str, path: Optional[Sequence[str]],
                  target: Optional[types.ModuleType] = None
                  ) -> Optional[importlib.machinery.ModuleSpec]:
        if fullname not in STEPS:
            return None
        module_spec = importlib.machinery.PathFinder.find_spec(fullname, path)
        if module_spec is not None and module_spec.loader is not None:
            module_spec.loader = _StepLoader(module_spec.loader, self.driver)
        return module_spec


def enable_for(driver: str) -> None:
    """Lets Celery's worker run mingle and gossip on transports of `driver`."""
    for name in STEPS:
        module = sys.modules.get(name)
        if module is not None:
            _add_driver(module, driver)
    if not any(isinstance(f, _StepFinder) for f in sys.meta_path):
        sys.meta_path.insert(0, _StepFinder(driver))
