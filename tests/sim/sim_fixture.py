"""A private bus with pemra_sim for each test class, and helpers."""

import os
import shutil
import unittest

import pemra_host
import simctl
import stack


class SimTestCase(unittest.TestCase):
    sim_args = ()

    @classmethod
    def setUpClass(cls):
        cls.workdir = stack.make_workdir("pemra-sim-test-")
        cls.bus = stack.PrivateBus(cls.workdir).start()
        cls.sim = stack.PemraSim(os.environ["PEMRA_SIM"], cls.bus, cls.workdir, cls.sim_args).start()
        cls.control = simctl.SimControl(cls.bus.address)

    @classmethod
    def tearDownClass(cls):
        cls.control.close()
        status = cls.sim.stop()
        log = cls.sim.log()
        cls.bus.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)
        # A clean exit on SIGTERM; under the sanitizers, no report either.
        if status != 0:
            raise AssertionError(f"pemra_sim exited with {status}:\n{log[-5000:]}")

    def run(self, result=None):
        outcome = super().run(result)
        if result is not None and not result.wasSuccessful() and self.sim.alive():
            print("---- pemra_sim log ----\n" + self.sim.log()[-5000:])
        return outcome

    def new_reader(self, **options):
        """A reader of its own for one test, removed afterwards."""
        device = self.control.add_reader(**options)
        self.addCleanup(self.control.remove_reader, device)
        return device

    def host(self, device, notify=(4, 8)):
        gatt = pemra_host.Gatt(self.bus.address, device)
        self.addCleanup(gatt.close)
        if notify:
            gatt.start_notify(*notify)
        return gatt

    def linked(self, device, **reader_options):
        return pemra_host.Link(self.host(device)).connect()
