import sys

from zorvia.models import record_name
from zorvia.sim import SAMPLE_CONFIG
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import ZorvConfig

qrcode = sys.argv[1]  # the text of a login QR code, as `zorvia serve` or `zorvia qrcode` prints it
manager = ZorvManager(ZorvConfig.from_file(SAMPLE_CONFIG))
user_id = manager.generate_user_id(qrcode=qrcode)
if user_id is None:  # the login service knows nobody for the code: never issued, or already used
    sys.exit("the login service knows nobody for this QR code")
with manager.generate_zorv2(user_id) as zorv2:  # the client is closed on leaving
    data = zorv2.user_data()  # a zorvia.models.UserData
    # A catalog reference is the record, or the bare int ID when the catalog lacks it: record_name
    # gives the record's name or says which ID is missing.
    print(data.user_name, record_name(data.icon), [record_name(c.chara) for c in data.characters])
    zorv2.logout()
