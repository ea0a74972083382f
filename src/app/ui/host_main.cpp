#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Morvane Controller/Motor Host");
  QMainWindow w;
  w.setWindowTitle("Morvane Controller Host V1.3A");
  w.show();
  return app.exec();
}
