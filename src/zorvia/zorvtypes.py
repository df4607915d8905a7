"""Configuration and user-identity models."""

from pydantic import BaseModel, StrictInt


class ZorvConfig(BaseModel):
    """Settings from which a manager builds its network clients."""

    keychip: str
    kelvo_salt: str
    zorv2_salt: str
    aes_key: str
    aes_iv: str
    proxy: str = ""
    https_verify: bool = True
    retry: int = 3
    place_id: int = 0
    client_id: str = ""


class UserId(BaseModel):
    """A player's numeric identity."""

    userId: StrictInt
