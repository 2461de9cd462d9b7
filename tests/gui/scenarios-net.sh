# GUI scenarios with network modems; they run in the test network of scripts/testnet.
