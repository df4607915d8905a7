"""The local service: a login service and a title server speaking the package's protocol.

Needs the optional extra `zorvia[sim]` (Starlette and uvicorn). It binds to 127.0.0.1 only.

    with SimService.start() as service:
        os.environ.update(service.environ())
        manager = ZorvManager(service.config)
        user = manager.generate_user_id(qrcode=service.issue_qrcode())
"""

from zorvia.protocol import DEFAULT_LOGIN_PORT, DEFAULT_TITLE_PORT
from zorvia.sim.apps import FAULT_KINDS
from zorvia.sim.service import SAMPLE_CONFIG, SimService
from zorvia.sim.store import Store, UnknownUser, sample_users

__all__ = ["DEFAULT_LOGIN_PORT", "DEFAULT_TITLE_PORT", "FAULT_KINDS", "SAMPLE_CONFIG", "SimService", "Store", "UnknownUser", "sample_users"]
